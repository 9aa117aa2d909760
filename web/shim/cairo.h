// The few Cairo calls the host's mask rasteriser makes, for the WebAssembly build, where there is
// no Cairo: the path is recorded and filled by the browser's 2D canvas (anti-aliased, non-zero
// winding), whose coverage is close to Cairo's but not the same in every edge pixel.
#pragma once

#include <vector>

typedef enum { CAIRO_STATUS_SUCCESS = 0, CAIRO_STATUS_NO_MEMORY = 1 } cairo_status_t;
typedef enum { CAIRO_FORMAT_A8 = 2 } cairo_format_t;
typedef enum { CAIRO_ANTIALIAS_DEFAULT = 0 } cairo_antialias_t;
typedef enum { CAIRO_FILL_RULE_WINDING = 0 } cairo_fill_rule_t;

struct cairo_surface_t {
    int width = 0, height = 0;
    std::vector<unsigned char> data;
};

// Commands as the canvas replays them: 0 move (x y), 1 line (x y), 2 cubic (x1 y1 x2 y2 x y), 3 close.
struct cairo_t {
    cairo_surface_t* surface = nullptr;
    std::vector<double> commands;
    double x = 0, y = 0, start_x = 0, start_y = 0;
};

cairo_surface_t* cairo_image_surface_create(cairo_format_t format, int width, int height);
cairo_status_t cairo_surface_status(cairo_surface_t* surface);
void cairo_surface_destroy(cairo_surface_t* surface);
void cairo_surface_flush(cairo_surface_t* surface);
unsigned char* cairo_image_surface_get_data(cairo_surface_t* surface);
int cairo_image_surface_get_stride(cairo_surface_t* surface);

cairo_t* cairo_create(cairo_surface_t* surface);
void cairo_destroy(cairo_t* cr);
void cairo_set_antialias(cairo_t* cr, cairo_antialias_t antialias);
void cairo_set_fill_rule(cairo_t* cr, cairo_fill_rule_t rule);
void cairo_move_to(cairo_t* cr, double x, double y);
void cairo_line_to(cairo_t* cr, double x, double y);
void cairo_curve_to(cairo_t* cr, double x1, double y1, double x2, double y2, double x3, double y3);
void cairo_close_path(cairo_t* cr);
void cairo_get_current_point(cairo_t* cr, double* x, double* y);
void cairo_fill(cairo_t* cr);

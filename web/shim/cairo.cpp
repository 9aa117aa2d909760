// The recorded path filled by the browser's canvas (see cairo.h).
#include "cairo.h"

#include <emscripten.h>

#include <new>

// Fills the commands on an OffscreenCanvas and writes the coverage (the fill's alpha) row by row.
// clang-format off
EM_JS(void, korvane_canvas_fill, (const double* commands, int count, int width, int height, unsigned char* out), {
    const canvas = new OffscreenCanvas(width, height);
    const g = canvas.getContext("2d");
    const c = HEAPF64.subarray(commands >> 3, (commands >> 3) + count);
    g.beginPath();
    for (let i = 0; i < count;) {
        const op = c[i++];
        if (op === 0) { g.moveTo(c[i], c[i + 1]); i += 2; }
        else if (op === 1) { g.lineTo(c[i], c[i + 1]); i += 2; }
        else if (op === 2) { g.bezierCurveTo(c[i], c[i + 1], c[i + 2], c[i + 3], c[i + 4], c[i + 5]); i += 6; }
        else g.closePath();
    }
    g.fillStyle = "#fff";
    g.fill("nonzero");
    const rgba = g.getImageData(0, 0, width, height).data;
    for (let p = 0, n = width * height; p < n; ++p) HEAPU8[out + p] = rgba[4 * p + 3];
});
// clang-format on

cairo_surface_t* cairo_image_surface_create(cairo_format_t, int width, int height) {
    auto* surface = new (std::nothrow) cairo_surface_t;
    if (!surface) return nullptr;
    surface->width = width;
    surface->height = height;
    try {
        surface->data.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
    } catch (const std::bad_alloc&) {
        surface->data.clear();
    }
    return surface;
}

cairo_status_t cairo_surface_status(cairo_surface_t* surface) {
    return surface && !surface->data.empty() ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_NO_MEMORY;
}
void cairo_surface_destroy(cairo_surface_t* surface) { delete surface; }
void cairo_surface_flush(cairo_surface_t*) {}
unsigned char* cairo_image_surface_get_data(cairo_surface_t* surface) { return surface->data.data(); }
int cairo_image_surface_get_stride(cairo_surface_t* surface) { return surface->width; }

cairo_t* cairo_create(cairo_surface_t* surface) {
    auto* cr = new cairo_t;
    cr->surface = surface;
    return cr;
}
void cairo_destroy(cairo_t* cr) { delete cr; }
void cairo_set_antialias(cairo_t*, cairo_antialias_t) {}
void cairo_set_fill_rule(cairo_t*, cairo_fill_rule_t) {}

void cairo_move_to(cairo_t* cr, double x, double y) {
    cr->commands.insert(cr->commands.end(), {0, x, y});
    cr->x = cr->start_x = x;
    cr->y = cr->start_y = y;
}
void cairo_line_to(cairo_t* cr, double x, double y) {
    cr->commands.insert(cr->commands.end(), {1, x, y});
    cr->x = x;
    cr->y = y;
}
void cairo_curve_to(cairo_t* cr, double x1, double y1, double x2, double y2, double x3, double y3) {
    cr->commands.insert(cr->commands.end(), {2, x1, y1, x2, y2, x3, y3});
    cr->x = x3;
    cr->y = y3;
}
void cairo_close_path(cairo_t* cr) {
    cr->commands.push_back(3);
    cr->x = cr->start_x;
    cr->y = cr->start_y;
}
void cairo_get_current_point(cairo_t* cr, double* x, double* y) {
    *x = cr->x;
    *y = cr->y;
}
void cairo_fill(cairo_t* cr) {
    korvane_canvas_fill(cr->commands.data(), static_cast<int>(cr->commands.size()), cr->surface->width,
                        cr->surface->height, cr->surface->data.data());
    cr->commands.clear();
}

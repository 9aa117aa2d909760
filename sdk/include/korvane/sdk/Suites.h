// Suites: named, versioned tables of host functions, acquired through SPBasicSuite.
#pragma once

#include "korvane/sdk/Effect.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void* AEGP_LayerH;
typedef void* AEGP_MaskRefH;
typedef A_long AEGP_PluginID;
typedef A_long AEGP_MaskIDVal;
typedef void* AEGP_GlobalRefcon;

typedef PF_Err (*PF_IteratePixel8Func)(void* refcon, A_long x, A_long y, PF_Pixel8* in, PF_Pixel8* out);
typedef PF_Err (*PF_IteratePixel16Func)(void* refcon, A_long x, A_long y, PF_Pixel16* in, PF_Pixel16* out);
typedef PF_Err (*PF_IteratePixelFloatFunc)(void* refcon, A_long x, A_long y, PF_PixelFloat* in, PF_PixelFloat* out);
typedef PF_Err (*PF_IterateGenericFunc)(void* refcon, A_long thread_index, A_long i, A_long iterations);

#define kPFHandleSuite "PF Handle Suite"
#define kPFHandleSuiteVersion2 2
typedef struct {
    PF_Handle (*host_new_handle)(A_u_longlong size);
    void* (*host_lock_handle)(PF_Handle h);
    void (*host_unlock_handle)(PF_Handle h);
    void (*host_dispose_handle)(PF_Handle h);
    A_u_longlong (*host_get_handle_size)(PF_Handle h);
    PF_Err (*host_resize_handle)(A_u_longlong size, PF_Handle* h);
} PF_HandleSuite2;

#define kPFWorldSuite "PF World Suite"
#define kPFWorldSuiteVersion1 1
#define kPFWorldSuiteVersion2 2
typedef struct {
    PF_Err (*new_world)(PF_ProgPtr effect_ref, A_long width, A_long height, PF_Boolean clear_pixB,
                        PF_EffectWorld* world);
    PF_Err (*dispose_world)(PF_ProgPtr effect_ref, PF_EffectWorld* world);
    PF_Err (*get_pixel_format)(const PF_EffectWorld* world, PF_PixelFormat* pixel_format);
} PF_WorldSuite1;
typedef struct {
    PF_Err (*PF_NewWorld)(PF_ProgPtr effect_ref, A_long width, A_long height, PF_Boolean clear_pixB,
                          PF_PixelFormat pixel_format, PF_EffectWorld* world);
    PF_Err (*PF_DisposeWorld)(PF_ProgPtr effect_ref, PF_EffectWorld* world);
    PF_Err (*PF_GetPixelFormat)(const PF_EffectWorld* world, PF_PixelFormat* pixel_format);
} PF_WorldSuite2;

#define kPFIterate8Suite "PF Iterate8 Suite"
#define kPFIterate16Suite "PF iterate16 Suite"
#define kPFIterateFloatSuite "PF iterateFloat Suite"
#define kPFIterateSuiteVersion1 1
typedef struct {
    PF_Err (*iterate)(PF_InData* in_data, A_long progress_base, A_long progress_final, PF_EffectWorld* src,
                      const PF_Rect* area, void* refcon, PF_IteratePixel8Func pix_fn, PF_EffectWorld* dst);
    PF_Err (*iterate_generic)(A_long iterations, void* refcon, PF_IterateGenericFunc fn);
} PF_Iterate8Suite1;
typedef struct {
    PF_Err (*iterate)(PF_InData* in_data, A_long progress_base, A_long progress_final, PF_EffectWorld* src,
                      const PF_Rect* area, void* refcon, PF_IteratePixel16Func pix_fn, PF_EffectWorld* dst);
    PF_Err (*iterate_generic)(A_long iterations, void* refcon, PF_IterateGenericFunc fn);
} PF_iterate16Suite1;
typedef struct {
    PF_Err (*iterate)(PF_InData* in_data, A_long progress_base, A_long progress_final, PF_EffectWorld* src,
                      const PF_Rect* area, void* refcon, PF_IteratePixelFloatFunc pix_fn, PF_EffectWorld* dst);
    PF_Err (*iterate_generic)(A_long iterations, void* refcon, PF_IterateGenericFunc fn);
} PF_iterateFloatSuite1;

#define kPFPathQuerySuite "PF Path Query Suite"
#define kPFPathQuerySuiteVersion1 1
typedef struct {
    PF_Err (*PF_NumPaths)(PF_ProgPtr effect_ref, A_long* num_pathsPL);
    PF_Err (*PF_PathInfo)(PF_ProgPtr effect_ref, A_long indexL, PF_PathID* unique_idP);
    PF_Err (*PF_CheckoutPath)(PF_ProgPtr effect_ref, PF_PathID unique_id, A_long what_time, A_long time_step,
                              A_u_long time_scale, PF_PathOutlinePtr* pathPP);
    PF_Err (*PF_CheckinPath)(PF_ProgPtr effect_ref, PF_PathID unique_id, PF_Boolean changedB, PF_PathOutlinePtr pathP);
} PF_PathQuerySuite1;

typedef struct {
    PF_FpLong x, y;
    PF_FpLong tan_in_x, tan_in_y;
    PF_FpLong tan_out_x, tan_out_y;
} PF_PathVertex;

#define kPFPathDataSuite "PF Path Data Suite"
#define kPFPathDataSuiteVersion1 1
typedef struct {
    PF_Err (*PF_PathIsOpen)(PF_ProgPtr effect_ref, PF_PathOutlinePtr pathP, PF_Boolean* openPB);
    PF_Err (*PF_PathNumSegments)(PF_ProgPtr effect_ref, PF_PathOutlinePtr pathP, A_long* num_segmentsPL);
    PF_Err (*PF_PathVertexInfo)(PF_ProgPtr effect_ref, PF_PathOutlinePtr pathP, A_long which_pointL,
                                PF_PathVertex* vertexP);
} PF_PathDataSuite1;

// The effect mask suite: its first function renders a path into a world.
#define kPFMaskSuite "AEGP Mask Suite"
#define kPFMaskSuiteVersion1 1
typedef struct {
    PF_Err (*PF_MaskWorldWithPath)(PF_ProgPtr effect_ref, PF_PathOutlinePtr mask, PF_FpLong feather_x,
                                   PF_FpLong feather_y, PF_Boolean invert, PF_FpLong opacity, PF_Quality quality,
                                   PF_EffectWorld* worldP, PF_Rect* bboxPR0);
} PF_MaskSuite1;

#define kAEGPPFInterfaceSuite "AEGP PF Interface Suite"
#define kAEGPPFInterfaceSuiteVersion1 1
typedef struct {
    A_Err (*AEGP_GetEffectLayer)(PF_ProgPtr effect_ref, AEGP_LayerH* layerPH);
} AEGP_PFInterfaceSuite1;

#define kAEGPLayerMaskSuite "AEGP Layer Mask Suite"
#define kAEGPLayerMaskSuiteVersion5 5
#define kAEGPLayerMaskSuiteVersion7 7
typedef struct {
    A_Err (*AEGP_GetLayerNumMasks)(AEGP_LayerH layerH, A_long* num_masksPL);
    A_Err (*AEGP_GetLayerMaskByIndex)(AEGP_LayerH layerH, A_long mask_indexL, AEGP_MaskRefH* maskPH);
    A_Err (*AEGP_DisposeMask)(AEGP_MaskRefH maskH);
    A_Err (*AEGP_GetMaskID)(AEGP_MaskRefH maskH, AEGP_MaskIDVal* id_valP);
} AEGP_LayerMaskSuite5;
typedef AEGP_LayerMaskSuite5 AEGP_LayerMaskSuite7;

#define kAEGPUtilitySuite "AEGP Utility Suite"
#define kAEGPUtilitySuiteVersion11 11
typedef struct {
    A_Err (*AEGP_ReportInfo)(AEGP_PluginID plugin_id, const A_char* info_string);
    A_Err (*AEGP_RegisterWithAEGP)(AEGP_GlobalRefcon global_refcon, const A_char* plugin_name,
                                   AEGP_PluginID* plugin_id);
} AEGP_UtilitySuite11;

#define kPFParamUtilsSuite "PF Param Utils Suite"
#define kPFParamUtilsSuiteVersion3 3
typedef struct {
    PF_Err (*PF_UpdateParamUI)(PF_ProgPtr effect_ref, A_long param_index, const PF_ParamDef* defP);
} PF_ParamUtilsSuite3;

#define kPFPixelFormatSuite "PF Pixel Format Suite"
#define kPFPixelFormatSuiteVersion1 1
typedef struct {
    PF_Err (*AddSupportedPixelFormat)(PF_ProgPtr effect_ref, PrPixelFormat pixel_format);
    PF_Err (*ClearSupportedPixelFormats)(PF_ProgPtr effect_ref);
    PF_Err (*NewWorldOfPixelFormat)(PF_ProgPtr effect_ref, A_u_long width, A_u_long height, PF_WorldFlags flags,
                                    PrPixelFormat pixel_format, PF_EffectWorld* world);
    PF_Err (*DisposeWorld)(PF_ProgPtr effect_ref, PF_EffectWorld* world);
    PF_Err (*GetPixelFormat)(PF_EffectWorld* world, PrPixelFormat* pixel_format);
} PF_PixelFormatSuite1;

#ifdef __cplusplus
}
#endif

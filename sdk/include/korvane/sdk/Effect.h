// Our effect-SDK layer: the types, codes, flags, commands and records that pass between a host and
// an effect through EffectMain. Written for Korvane; spellings follow the effect API's conventions.
// One header (over 500 lines) on purpose: it is the whole contract between a host and an effect,
// read top to bottom like the interface it stands for; the suites are in Suites.h.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t A_long;
typedef uint32_t A_u_long;
typedef int16_t A_short;
typedef uint16_t A_u_short;
typedef char A_char;
typedef unsigned char A_u_char;
typedef uint8_t A_Boolean;
typedef uint8_t PF_Boolean;
typedef int32_t A_Err;
typedef int32_t PF_Err;
typedef int32_t PF_Fixed;
typedef double PF_FpLong;
typedef float PF_FpShort;
typedef int32_t SPErr;
typedef uint64_t A_u_longlong;

// ---------------------------------------------------------------------------------------------
// Error codes

enum {
    PF_Err_NONE = 0,
    PF_Err_OUT_OF_MEMORY = 4,
    PF_Err_INTERNAL_STRUCT_DAMAGED = 512,
    PF_Err_INVALID_INDEX = 513,
    PF_Err_UNRECOGNIZED_PARAM_TYPE = 514,
    PF_Err_INVALID_CALLBACK = 515,
    PF_Err_BAD_CALLBACK_PARAM = 516,
    PF_Interrupt_CANCEL = 517,
    PF_Err_CANNOT_PARSE_KEYFRAME_TEXT = 518,
};

enum {
    A_Err_NONE = 0,
    A_Err_GENERIC = 1,
    A_Err_STRUCT = 2,
    A_Err_PARAMETER = 3,
    A_Err_ALLOC = 4,
    A_Err_MISSING_SUITE = 13,
};

enum { kSPNoError = 0, kSPSuiteNotFoundError = 0x53214e46 /* 'S!NF' */ };

// ---------------------------------------------------------------------------------------------
// Commands, in the API's order (the command name table indexes by this number).

typedef A_long PF_Cmd;
enum {
    PF_Cmd_ABOUT = 0,
    PF_Cmd_GLOBAL_SETUP,
    PF_Cmd_UNUSED_0,
    PF_Cmd_GLOBAL_SETDOWN,
    PF_Cmd_PARAMS_SETUP,
    PF_Cmd_SEQUENCE_SETUP,
    PF_Cmd_SEQUENCE_RESETUP,
    PF_Cmd_SEQUENCE_FLATTEN,
    PF_Cmd_SEQUENCE_SETDOWN,
    PF_Cmd_DO_DIALOG,
    PF_Cmd_FRAME_SETUP,
    PF_Cmd_RENDER,
    PF_Cmd_FRAME_SETDOWN,
    PF_Cmd_USER_CHANGED_PARAM,
    PF_Cmd_UPDATE_PARAMS_UI,
    PF_Cmd_EVENT,
    PF_Cmd_GET_EXTERNAL_DEPENDENCIES,
    PF_Cmd_COMPLETELY_GENERAL,
    PF_Cmd_QUERY_DYNAMIC_FLAGS,
    PF_Cmd_AUDIO_RENDER,
    PF_Cmd_AUDIO_SETUP,
    PF_Cmd_AUDIO_SETDOWN,
    PF_Cmd_ARBITRARY_CALLBACK,
    PF_Cmd_SMART_PRE_RENDER,
    PF_Cmd_SMART_RENDER,
    PF_Cmd_RESERVED1,
    PF_Cmd_RESERVED2,
    PF_Cmd_RESERVED3,
    PF_Cmd_GET_FLATTENED_SEQUENCE_DATA,
    PF_Cmd_TRANSLATE_PARAMS_TO_PREFS,
    PF_Cmd_RESERVED4,
    PF_Cmd_SMART_RENDER_GPU,
    PF_Cmd_GPU_DEVICE_SETUP,
    PF_Cmd_GPU_DEVICE_SETDOWN,
    PF_Cmd_NUM_CMDS  // 34: the table holds 35 names, this one included
};

// ---------------------------------------------------------------------------------------------
// Version packing: major in bits 19-21 (low three bits) and 26-29 (high bits), minor 15-18,
// bug 11-14, stage 9-10, build 0-8.

#define PF_VERSION(VERS, SUBVERS, BUGVERS, STAGE, BUILD)                              \
    ((((((A_u_long)(VERS)) >> 3) & 0xF) << 26) | ((((A_u_long)(VERS)) & 0x7) << 19) | \
     ((((A_u_long)(SUBVERS)) & 0xF) << 15) | ((((A_u_long)(BUGVERS)) & 0xF) << 11) |  \
     ((((A_u_long)(STAGE)) & 0x3) << 9) | (((A_u_long)(BUILD)) & 0x1FF))

#define PF_Vers_MAJOR(v) (((((A_u_long)(v)) >> 19) & 0x7) | (((((A_u_long)(v)) >> 26) & 0xF) << 3))
#define PF_Vers_MINOR(v) ((((A_u_long)(v)) >> 15) & 0xF)
#define PF_Vers_BUG(v) ((((A_u_long)(v)) >> 11) & 0xF)

enum { PF_Stage_DEVELOP = 0, PF_Stage_ALPHA, PF_Stage_BETA, PF_Stage_RELEASE };

// Four-character codes as multi-character constants read them ('argb' == 0x61726762).
#define PF_FOURCC(a, b, c, d)                                                                                        \
    ((A_u_long)(((A_u_long)(A_u_char)(a) << 24) | ((A_u_long)(A_u_char)(b) << 16) | ((A_u_long)(A_u_char)(c) << 8) | \
                (A_u_long)(A_u_char)(d)))

// Premiere pixel formats: the four characters are the bytes of the value from low to high.
#define PR_PIXEL_FOURCC(a, b, c, d)                                                                          \
    ((A_u_long)((A_u_long)(A_u_char)(a) | ((A_u_long)(A_u_char)(b) << 8) | ((A_u_long)(A_u_char)(c) << 16) | \
                ((A_u_long)(A_u_char)(d) << 24)))

// ---------------------------------------------------------------------------------------------
// Flags

enum {
    PF_OutFlag_NONE = 0,
    PF_OutFlag_USE_OUTPUT_EXTENT = 1L << 6,
    PF_OutFlag_DISPLAY_ERROR_MESSAGE = 1L << 8,
    PF_OutFlag_PIX_INDEPENDENT = 1L << 10,
    PF_OutFlag_REFRESH_UI = 1L << 17,
    PF_OutFlag_FORCE_RERENDER = 1L << 22,
    PF_OutFlag_DEEP_COLOR_AWARE = 1L << 25,
    PF_OutFlag_SEND_UPDATE_PARAMS_UI = 1L << 26,
};

enum {
    PF_OutFlag2_NONE = 0,
    PF_OutFlag2_SUPPORTS_QUERY_DYNAMIC_FLAGS = 1L << 0,
    PF_OutFlag2_PARAM_GROUP_START_COLLAPSED_FLAG = 1L << 3,
    PF_OutFlag2_SUPPORTS_SMART_RENDER = 1L << 10,
    PF_OutFlag2_FLOAT_COLOR_AWARE = 1L << 12,
    PF_OutFlag2_SUPPORTS_THREADED_RENDERING = 1L << 27,
};

typedef A_long PF_ParamFlags;
enum {
    PF_ParamFlag_RESERVED1 = 1L << 0,
    PF_ParamFlag_CANNOT_TIME_VARY = 1L << 1,
    PF_ParamFlag_CANNOT_INTERP = 1L << 2,
    PF_ParamFlag_COLLAPSE_TWIRLY = 1L << 5,
    PF_ParamFlag_START_COLLAPSED = PF_ParamFlag_COLLAPSE_TWIRLY,
    PF_ParamFlag_SUPERVISE = 1L << 6,
};

typedef A_long PF_ParamUIFlags;
enum {
    PF_PUI_NONE = 0,
    PF_PUI_TOPIC = 1L << 0,
    PF_PUI_CONTROL = 1L << 1,
    PF_PUI_STD_CONTROL_ONLY = 1L << 2,
    PF_PUI_NO_ECW_UI = 1L << 3,
    PF_PUI_ECW_SEPARATOR = 1L << 4,
    PF_PUI_DISABLED = 1L << 5,
    PF_PUI_DONT_ERASE_TOPIC = 1L << 6,
    PF_PUI_DONT_ERASE_CONTROL = 1L << 7,
    PF_PUI_RADIO_BUTTON = 1L << 8,
    PF_PUI_INVISIBLE = 1L << 9,
};

enum {
    PF_ValueDisplayFlag_NONE = 0,
    PF_ValueDisplayFlag_PERCENT = 1 << 0,
    PF_ValueDisplayFlag_PIXEL = 1 << 1,
};

typedef A_long PF_ParamType;
enum {
    PF_Param_RESERVED = -1,
    PF_Param_LAYER = 0,
    PF_Param_SLIDER,
    PF_Param_FIX_SLIDER,
    PF_Param_ANGLE,
    PF_Param_CHECKBOX,
    PF_Param_COLOR,
    PF_Param_POINT,
    PF_Param_POPUP,
    PF_Param_CUSTOM,
    PF_Param_NO_DATA,
    PF_Param_FLOAT_SLIDER,
    PF_Param_ARBITRARY_DATA,
    PF_Param_PATH,
    PF_Param_GROUP_START,
    PF_Param_GROUP_END,
    PF_Param_BUTTON,
};

typedef A_long PF_Quality;
enum { PF_Quality_DRAWING_AUDIO = -1, PF_Quality_LO = 0, PF_Quality_HI = 1 };

typedef A_long PF_ModeFlags;
enum { PF_MF_Alpha_PREMUL = 0, PF_MF_Alpha_STRAIGHT = 1 << 0 };

typedef A_long PF_Field;
enum { PF_Field_FRAME = 0, PF_Field_UPPER = 1, PF_Field_LOWER = 2 };

typedef A_long PF_TransferMode;
enum {
    PF_Xfer_NONE = -1,
    PF_Xfer_COPY = 0,
    PF_Xfer_BEHIND = 1,
    PF_Xfer_IN_FRONT = 2,
    PF_Xfer_DISSOLVE = 3,
    PF_Xfer_ADD = 4,
    PF_Xfer_MULTIPLY = 5,
    PF_Xfer_SCREEN = 6,
};

typedef A_long PF_ChannelMask;
enum {
    PF_ChannelMask_ALPHA = 0x1,
    PF_ChannelMask_RED = 0x2,
    PF_ChannelMask_GREEN = 0x4,
    PF_ChannelMask_BLUE = 0x8,
    PF_ChannelMask_ARGB = 0xF,
};

typedef A_long PF_WorldFlags;
enum { PF_WorldFlag_DEEP = 1L << 0, PF_WorldFlag_WRITEABLE = 1L << 1 };

// AE world pixel formats.
typedef A_u_long PF_PixelFormat;
#define PF_PixelFormat_ARGB32 PF_FOURCC('a', 'r', 'g', 'b')
#define PF_PixelFormat_ARGB64 PF_FOURCC('a', 'e', '1', '6')
#define PF_PixelFormat_ARGB128 PF_FOURCC('a', 'e', '3', '2')
#define PF_PixelFormat_INVALID PF_FOURCC('b', 'a', 'd', 'f')

// Premiere pixel formats (only the one the effect names; the rest live in the host's table).
typedef A_u_long PrPixelFormat;
#define PrPixelFormat_BGRA_4444_8u PR_PIXEL_FOURCC('b', 'g', 'r', 'a')
#define PrPixelFormat_ARGB_4444_8u PR_PIXEL_FOURCC('a', 'r', 'g', 'b')

// Host application ids.
#define PF_APPL_ID_AE PF_FOURCC('F', 'X', 'T', 'C')
#define PF_APPL_ID_PREMIERE PF_FOURCC('P', 'r', 'M', 'r')

// ---------------------------------------------------------------------------------------------
// Basic records

typedef struct {
    A_long left, top, right, bottom;
} PF_LRect;
typedef PF_LRect PF_Rect;
typedef PF_LRect PF_UnionableRect;

typedef struct {
    A_long h, v;
} PF_Point;

typedef struct {
    A_long num;
    A_u_long den;
} PF_RationalScale;

typedef struct {
    A_u_char alpha, red, green, blue;
} PF_Pixel8;
typedef PF_Pixel8 PF_Pixel;

typedef struct {
    A_u_short alpha, red, green, blue;
} PF_Pixel16;

typedef struct {
    PF_FpShort alpha, red, green, blue;
} PF_PixelFloat;

#define PF_MAX_CHAN8 255
#define PF_MAX_CHAN16 32768

typedef void* PF_PixelPtr;
typedef void* PF_ProgPtr;  // the host's per-effect reference
typedef void** PF_Handle;  // host memory handle
typedef void* PF_PathOutlinePtr;
typedef A_u_long PF_PathID;

// A pixel buffer. `reserved0` and `reserved1` belong to the host.
typedef struct PF_LayerDef {
    void* reserved0;
    void* reserved1;
    PF_WorldFlags world_flags;
    PF_PixelPtr data;
    A_long rowbytes;
    A_long width;
    A_long height;
    PF_UnionableRect extent_hint;
    void* platform_ref;
    A_long reserved_long1;
    void* reserved_long4;
    PF_RationalScale pix_aspect_ratio;
    void* reserved_long2;
    A_long origin_x;
    A_long origin_y;
    A_long reserved_long3;
    A_long dephault;
} PF_LayerDef;
typedef PF_LayerDef PF_EffectWorld;
typedef PF_LayerDef* PF_EffectWorldPtr;

// ---------------------------------------------------------------------------------------------
// Parameter definitions

#define PF_MAX_EFFECT_PARAM_NAME_LEN 31

typedef struct {
    A_long value;
    A_char value_str[32];
    A_char value_desc[32];
    A_long valid_min, valid_max;
    A_long slider_min, slider_max;
    A_long dephault;
} PF_SliderDef;

typedef struct {
    PF_FpLong value;
    PF_FpLong phase;
    A_char value_desc[32];
    PF_FpShort valid_min, valid_max;
    PF_FpShort slider_min, slider_max;
    PF_FpShort dephault;
    A_short precision;
    A_short display_flags;
    A_long fs_flags;
    PF_FpShort curve_tolerance;
    PF_Boolean useExponent;
    PF_FpShort exponent;
} PF_FloatSliderDef;

typedef struct {
    PF_Fixed value;  // degrees, 16.16 fixed point
    PF_Fixed dephault;
    PF_Fixed valid_min, valid_max;
} PF_AngleDef;

typedef struct {
    A_long value;
    A_long dephault;
    A_char reserved;
    A_char reserved1;
    A_short reserved2;
    union {
        A_u_long reserved3;
        const A_char* nameptr;
    } u;
} PF_CheckBoxDef;

typedef struct {
    A_long value;
    A_short num_choices;
    A_short dephault;
    union {
        A_u_long reserved;
        const A_char* namesptr;
    } u;
} PF_PopupDef;

typedef struct {
    PF_PathID path_id;
    A_long reserved0;
    A_long dephault;  // 0: no path; n: the n-th mask of the layer
} PF_PathDef;

typedef struct {
    A_long value;
    A_u_long reserved;
    union {
        A_u_long reserved1;
        const A_char* namesptr;
    } u;
} PF_ButtonDef;

typedef union {
    PF_LayerDef ld;
    PF_SliderDef sd;
    PF_FloatSliderDef fs_d;
    PF_AngleDef ad;
    PF_CheckBoxDef bd;
    PF_PopupDef pd;
    PF_PathDef path_d;
    PF_ButtonDef button_d;
} PF_ParamDefUnion;

typedef struct PF_ParamDef {
    union {
        A_long id;            // disk id
        A_long change_flags;  // reserved for the host
    } uu;
    PF_ParamUIFlags ui_flags;
    A_short ui_width;
    A_short ui_height;
    PF_ParamType param_type;
    A_char name[32];
    PF_ParamFlags flags;
    A_long unused;
    PF_ParamDefUnion u;
} PF_ParamDef;
typedef PF_ParamDef* PF_ParamDefPtr;
typedef PF_ParamDef** PF_ParamList;

// ---------------------------------------------------------------------------------------------
// Callbacks the host hands the effect in PF_InData

typedef struct {
    PF_TransferMode xfer;
    A_long rand_seed;
    A_u_char opacity;
    PF_Boolean rgb_only;
    A_u_short opacitySu;
} PF_CompositeMode;

typedef struct {
    PF_EffectWorld mask;
    PF_Point offset;
    A_long what_is_mask;
} PF_MaskWorld;

typedef struct {
    PF_Err (*checkout_param)(PF_ProgPtr effect_ref, A_long index, A_long what_time, A_long time_step,
                             A_u_long time_scale, PF_ParamDef* param);
    PF_Err (*checkin_param)(PF_ProgPtr effect_ref, PF_ParamDef* param);
    PF_Err (*add_param)(PF_ProgPtr effect_ref, A_long index, PF_ParamDefPtr def);
    PF_Err (*abort)(PF_ProgPtr effect_ref);
    PF_Err (*progress)(PF_ProgPtr effect_ref, A_long current, A_long total);
} PF_InteractCallbacks;

typedef struct {
    PF_Err (*copy)(PF_ProgPtr effect_ref, PF_EffectWorld* src, PF_EffectWorld* dst, PF_Rect* src_r, PF_Rect* dst_r);
    PF_Err (*fill)(PF_ProgPtr effect_ref, const PF_Pixel* color, const PF_Rect* dst_rect, PF_EffectWorld* world);
    PF_Err (*transfer_rect)(PF_ProgPtr effect_ref, PF_Quality quality, PF_ModeFlags m_flags, PF_Field field,
                            const PF_Rect* src_rec, const PF_EffectWorld* src_world, const PF_CompositeMode* comp_mode,
                            const PF_MaskWorld* mask_world0, A_long dest_x, A_long dest_y, PF_EffectWorld* dst_world);
} PF_UtilCallbacks;

// The basic suite: the door to every other suite.
typedef struct SPBasicSuite {
    SPErr (*AcquireSuite)(const char* name, int32_t version, const void** suite);
    SPErr (*ReleaseSuite)(const char* name, int32_t version);
} SPBasicSuite;

typedef struct {
    A_short major;
    A_short minor;
} PF_SpecVersion;

typedef struct PF_InData {
    PF_InteractCallbacks inter;
    PF_UtilCallbacks* utils;
    PF_ProgPtr effect_ref;
    PF_Quality quality;
    PF_SpecVersion version;
    A_long serial_num;
    A_long appl_id;
    A_long num_params;
    A_long reserved;
    A_long what_cpu;
    A_long what_fpu;
    A_long current_time;
    A_long time_step;
    A_long total_time;
    A_long local_time_step;
    A_u_long time_scale;
    PF_Field field;
    PF_Fixed shutter_angle;
    A_long width;
    A_long height;
    PF_Rect extent_hint;
    A_long output_origin_x;
    A_long output_origin_y;
    PF_RationalScale downsample_x;
    PF_RationalScale downsample_y;
    PF_RationalScale pixel_aspect_ratio;
    A_long in_flags;
    PF_Handle global_data;
    PF_Handle sequence_data;
    PF_Handle frame_data;
    const SPBasicSuite* pica_basicP;
} PF_InData;

#define PF_MAX_RETURN_MSG 256

typedef struct PF_OutData {
    A_u_long my_version;
    A_char name[32];
    PF_Handle global_data;
    A_long num_params;
    PF_Handle sequence_data;
    A_long flat_sdata_size;
    PF_Handle frame_data;
    A_long width;
    A_long height;
    PF_Point origin;
    A_long out_flags;
    A_char return_msg[PF_MAX_RETURN_MSG];
    A_long out_flags2;
} PF_OutData;

// Convenience wrappers for the interaction callbacks, as effects customarily spell them.
#define PF_CHECKOUT_PARAM(IN_DATA, INDEX, TIME, STEP, SCALE, PARAM) \
    (*(IN_DATA)->inter.checkout_param)((IN_DATA)->effect_ref, (INDEX), (TIME), (STEP), (SCALE), (PARAM))
#define PF_CHECKIN_PARAM(IN_DATA, PARAM) (*(IN_DATA)->inter.checkin_param)((IN_DATA)->effect_ref, (PARAM))
#define PF_ADD_PARAM(IN_DATA, INDEX, DEF) (*(IN_DATA)->inter.add_param)((IN_DATA)->effect_ref, (INDEX), (DEF))
#define PF_PROGRESS(IN_DATA, CURRENT, TOTAL) (*(IN_DATA)->inter.progress)((IN_DATA)->effect_ref, (CURRENT), (TOTAL))

// ---------------------------------------------------------------------------------------------
// Command extras

typedef struct {
    A_long param_index;
} PF_UserChangedParamExtra;

typedef struct {
    PF_LRect rect;
    PF_Field field;
    PF_ChannelMask channel_mask;
    PF_Boolean preserve_rgb_of_zero_alpha;
    A_char unused[3];
    A_long reserved[4];
} PF_RenderRequest;

typedef struct {
    PF_LRect result_rect;
    PF_LRect max_result_rect;
    PF_RationalScale par;
    A_long solid;
    PF_Boolean reservedB[3];
    A_long ref_width;
    A_long ref_height;
    A_long reserved[6];
} PF_CheckoutResult;

typedef void (*PF_DeletePreRenderDataFunc)(void* pre_render_data);

typedef struct {
    PF_RenderRequest output_request;
    A_short bitdepth;
    const void* gpu_data;
    A_long what_gpu;
    A_u_long device_index;
} PF_PreRenderInput;

typedef struct {
    PF_LRect result_rect;
    PF_LRect max_result_rect;
    PF_Boolean solid;
    PF_Boolean reserved;
    A_short flags;
    void* pre_render_data;  // a PF_Handle made by the effect; the host disposes of it after rendering
    PF_DeletePreRenderDataFunc delete_pre_render_data_func;
} PF_PreRenderOutput;

typedef struct {
    PF_Err (*checkout_layer)(PF_ProgPtr effect_ref, A_long index, A_long checkout_idL, const PF_RenderRequest* req,
                             A_long what_time, A_long time_step, A_u_long time_scale,
                             PF_CheckoutResult* checkout_result);
} PF_PreRenderCallbacks;

typedef struct {
    PF_PreRenderInput* input;
    PF_PreRenderOutput* output;
    PF_PreRenderCallbacks* cb;
} PF_PreRenderExtra;

typedef struct {
    PF_RenderRequest output_request;
    A_short bitdepth;
    void* pre_render_data;
    const void* gpu_data;
    A_long what_gpu;
    A_u_long device_index;
} PF_SmartRenderInput;

typedef struct {
    PF_Err (*checkout_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_idL, PF_EffectWorld** pixels);
    PF_Err (*checkin_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_idL);
    PF_Err (*checkout_output)(PF_ProgPtr effect_ref, PF_EffectWorld** output);
} PF_SmartRenderCallbacks;

typedef struct {
    PF_SmartRenderInput* input;
    PF_SmartRenderCallbacks* cb;
} PF_SmartRenderExtra;

// ---------------------------------------------------------------------------------------------
// Entry points

typedef PF_Err (*PF_RegisterCallback)(void* inPtr, const char* name, const char* match_name, const char* category,
                                      const char* entry_point_name, A_long kind, A_long api_version_major,
                                      A_long api_version_minor, A_long reserved_info);

#define PF_KIND_EFFECT PF_FOURCC('e', 'F', 'K', 'T')

typedef PF_Err (*PluginDataEntryFunctionPtr)(void* inPtr, PF_RegisterCallback callback);
typedef PF_Err (*EffectMainPtr)(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                                PF_LayerDef* output, void* extra);

#ifdef __cplusplus
}
#endif

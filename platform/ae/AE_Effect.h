// Stand-in declarations of the compositing host's effect API: the types,
// constants and callback tables that the effect and the stand-in host share.
// Only what the effect uses is declared; layouts are this project's own.
#ifndef TESSIVO_PLATFORM_AE_EFFECT_H
#define TESSIVO_PLATFORM_AE_EFFECT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t A_long;
typedef uint32_t A_u_long;
typedef int16_t A_short;
typedef uint16_t A_u_short;
typedef char A_char;
typedef uint8_t A_u_char;
typedef uint64_t A_u_longlong;
typedef double PF_FpLong;
typedef float PF_FpShort;
typedef uint8_t PF_Boolean;

typedef A_long PF_Err;
typedef A_long PF_Cmd;
typedef A_long PF_ParamIndex;
typedef A_long PF_ParamType;
typedef A_long PF_ParamFlags;
typedef A_long PF_OutFlags;
typedef A_long PF_OutFlags2;
typedef A_long PF_PixelFormat;
typedef struct PF_ProgressInfo* PF_ProgPtr;  // the host's handle of one effect instance
typedef void** PF_Handle;
typedef void* PF_PixelPtr;

// --- Commands ---------------------------------------------------------------
enum {
  PF_Cmd_ABOUT = 0,
  PF_Cmd_GLOBAL_SETUP = 1,
  PF_Cmd_GLOBAL_SETDOWN = 3,
  PF_Cmd_PARAMS_SETUP = 4,
  PF_Cmd_SEQUENCE_SETUP = 5,
  PF_Cmd_SEQUENCE_SETDOWN = 7,
  PF_Cmd_RENDER = 11,
  PF_Cmd_SMART_PRE_RENDER = 23,
  PF_Cmd_SMART_RENDER = 24,
};

// --- Error codes --------------------------------------------------------------
enum {
  PF_Err_NONE = 0,
  PF_Err_OUT_OF_MEMORY = 4,
  PF_Err_INTERNAL_STRUCT_DAMAGED = 512,
  PF_Err_INVALID_INDEX = 513,
  PF_Err_UNRECOGNIZED_PARAM_TYPE = 514,
  PF_Err_INVALID_CALLBACK = 515,
  PF_Err_BAD_CALLBACK_PARAM = 516,
};

// --- Output flags -------------------------------------------------------------
enum {
  PF_OutFlag_NONE = 0,
  PF_OutFlag_USE_OUTPUT_EXTENT = 1L << 6,
  PF_OutFlag_DISPLAY_ERROR_MESSAGE = 1L << 8,
  PF_OutFlag_PIX_INDEPENDENT = 1L << 10,
  PF_OutFlag_DEEP_COLOR_AWARE = 1L << 25,
};
enum {
  PF_OutFlag2_NONE = 0,
  PF_OutFlag2_SUPPORTS_SMART_RENDER = 1L << 10,
  PF_OutFlag2_FLOAT_COLOR_AWARE = 1L << 12,
};

// --- Version word -------------------------------------------------------------
enum { PF_Stage_DEVELOP = 0, PF_Stage_ALPHA = 1, PF_Stage_BETA = 2, PF_Stage_RELEASE = 3 };
#define PF_VERSION(vers, subvers, bugvers, stage, build)                                 \
  (((A_u_long)(vers) << 19) | ((A_u_long)(subvers) << 15) | ((A_u_long)(bugvers) << 11) | \
   ((A_u_long)(stage) << 9) | (A_u_long)(build))

// --- Pixel formats: four characters, least significant byte first -----------
#define PF_PIXEL_FORMAT_CODE(a, b, c, d) \
  ((A_long)((A_u_long)(a) | ((A_u_long)(b) << 8) | ((A_u_long)(c) << 16) | ((A_u_long)(d) << 24)))
enum {
  PF_PixelFormat_ARGB32 = PF_PIXEL_FORMAT_CODE('a', 'r', 'g', 'b'),   // 0x62677261
  PF_PixelFormat_ARGB64 = PF_PIXEL_FORMAT_CODE('a', 'e', '1', '6'),   // 0x36316561
  PF_PixelFormat_ARGB128 = PF_PIXEL_FORMAT_CODE('a', 'e', '3', '2'),  // 0x32336561
  PF_PixelFormat_INVALID = PF_PIXEL_FORMAT_CODE('b', 'a', 'd', 'f'),  // 0x66646162
};

// --- Pixels and worlds --------------------------------------------------------
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

typedef struct {
  A_long left, top, right, bottom;
} PF_LRect;
typedef PF_LRect PF_Rect;

// A buffer of pixels. `rowbytes` is the distance in bytes from the start of
// one row to the start of the next and may be negative. The effect reaches
// the first pixel through the host's pixel-data callbacks, never `data`.
typedef struct PF_LayerDef {
  A_long world_flags;
  PF_PixelPtr data;
  A_long rowbytes;
  A_long width;   // pixels
  A_long height;  // rows
  PF_LRect extent_hint;
  A_long origin_x, origin_y;
  void* host_world;  // the host's own bookkeeping
} PF_LayerDef;
typedef PF_LayerDef PF_EffectWorld;

// --- Parameters ---------------------------------------------------------------
enum {
  PF_Param_LAYER = 0,
  PF_Param_SLIDER = 1,
  PF_Param_FIX_SLIDER = 2,
  PF_Param_ANGLE = 3,
  PF_Param_CHECKBOX = 4,
  PF_Param_COLOR = 5,
  PF_Param_POINT = 6,
  PF_Param_POPUP = 7,
  PF_Param_FLOAT_SLIDER = 10,
};

enum { PF_MAX_EFFECT_PARAM_NAME_LEN = 31, PF_MAX_EFFECT_MSG_LEN = 255, PF_MAX_EFFECT_NAME_LEN = 31 };

typedef struct {
  PF_FpLong value;  // the value at the checked-out time
  PF_FpShort valid_min, valid_max;
  PF_FpShort slider_min, slider_max;
  PF_FpShort dephault;
  A_short precision;      // decimal places shown
  A_short display_flags;  // 1 = percent
  A_long fs_flags;
  PF_FpShort curve_tolerance;
} PF_FloatSliderDef;

typedef struct {
  A_long value;
  PF_Boolean dephault;
  union {
    const A_char* nameptr;  // the label beside the box
  } u;
} PF_CheckBoxDef;

typedef union {
  PF_LayerDef ld;
  PF_FloatSliderDef fs_d;
  PF_CheckBoxDef bd;
} PF_ParamDefUnion;

typedef struct PF_ParamDef {
  union {
    A_long id;
    A_long change_flags;
  } uu;
  A_long ui_flags;
  A_short ui_width, ui_height;
  PF_ParamType param_type;
  A_char name[PF_MAX_EFFECT_PARAM_NAME_LEN + 1];
  PF_ParamFlags flags;
  PF_ParamDefUnion u;
} PF_ParamDef;
typedef PF_ParamDef* PF_ParamDefPtr;
typedef PF_ParamDef** PF_ParamList;

// --- Callbacks the host gives through PF_InData -------------------------------
typedef struct {
  PF_Err (*checkout_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long what_time,
                           A_long time_step, A_u_long time_scale, PF_ParamDef* param);
  PF_Err (*checkin_param)(PF_ProgPtr effect_ref, PF_ParamDef* param);
  // index -1 appends after the parameters added so far
  PF_Err (*add_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, PF_ParamDefPtr def);
} PF_InteractCallbacks;

typedef struct {
  PF_FpLong (*log)(PF_FpLong x);  // natural logarithm
  A_long (*sprintf)(A_char* buffer, const A_char* format, ...);
  A_char* (*strcpy)(A_char* dest, const A_char* src);
} PF_ANSICallbacks;

typedef struct {
  PF_ANSICallbacks ansi;
  // The address of a world's first pixel (pixelsP0 null) in *pPixel.
  PF_Err (*get_pixel_data8)(PF_EffectWorld* worldP, PF_PixelPtr pixelsP0, PF_Pixel8** pPixel);
  PF_Err (*get_pixel_data16)(PF_EffectWorld* worldP, PF_PixelPtr pixelsP0, PF_Pixel16** pPixel);
} PF_UtilCallbacks;

struct SPBasicSuite;

typedef struct {
  PF_InteractCallbacks inter;
  PF_UtilCallbacks* utils;
  PF_ProgPtr effect_ref;
  A_long version;  // host API version
  A_long appl_id;  // four characters of the host application
  A_long num_params;
  A_long current_time;
  A_long time_step;
  A_long total_time;
  A_u_long time_scale;
  A_long width, height;  // the input layer's size
  struct SPBasicSuite* pica_basicP;
} PF_InData;

typedef struct {
  A_u_long my_version;
  A_char name[PF_MAX_EFFECT_NAME_LEN + 1];
  A_long num_params;
  PF_OutFlags out_flags;
  A_char return_msg[PF_MAX_EFFECT_MSG_LEN + 1];
  PF_OutFlags2 out_flags2;
} PF_OutData;

// --- Smart rendering ------------------------------------------------------------
typedef struct {
  PF_LRect rect;
  A_long field;
  A_long channel_mask;
  PF_Boolean preserve_rgb_of_zero_alpha;
} PF_RenderRequest;

typedef struct {
  PF_LRect result_rect;
  PF_LRect max_result_rect;
  A_long solid;
  PF_Boolean opaque;
  A_long ref_width, ref_height;
} PF_CheckoutResult;

// Called by the host when it discards pre-render data.
typedef void (*PF_DeletePreRenderDataFunc)(void* pre_render_data);

typedef struct {
  PF_RenderRequest output_request;
  A_short bitdepth;
} PF_PreRenderInput;

typedef struct {
  PF_LRect result_rect;
  PF_LRect max_result_rect;
  PF_Boolean solid;
  A_long flags;
  void* pre_render_data;
  PF_DeletePreRenderDataFunc delete_pre_render_data_func;
} PF_PreRenderOutput;

typedef struct {
  PF_Err (*checkout_layer)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long checkout_idL,
                           const PF_RenderRequest* req, A_long what_time, A_long time_step,
                           A_u_long time_scale, PF_CheckoutResult* checkout_result);
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
} PF_SmartRenderInput;

typedef struct {
  PF_Err (*checkout_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_idL,
                                  PF_EffectWorld** pixels);
  PF_Err (*checkin_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_idL);
  PF_Err (*checkout_output)(PF_ProgPtr effect_ref, PF_EffectWorld** output);
} PF_SmartRenderCallbacks;

typedef struct {
  PF_SmartRenderInput* input;
  PF_SmartRenderCallbacks* cb;
} PF_SmartRenderExtra;

// --- The entry point ----------------------------------------------------------
typedef PF_Err (*PF_EffectEntryPoint)(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                      PF_ParamDef* params[], PF_LayerDef* output, void* extra);

#ifdef __cplusplus
}
#endif

#endif  // TESSIVO_PLATFORM_AE_EFFECT_H

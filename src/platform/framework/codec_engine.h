// The codec engine: encoders opened by name from the engine "encode". On the
// host "h264enc" runs on libx264 and "jpegenc" on TurboJPEG behind the calls,
// parameter records and results the encoder threads use on the board.
//
// A handle belongs to the thread that opened it; callers hold codec_mutex
// around every call. Input and output memory is the caller's (capture frames
// and ring space in the contiguous arena): the engine reads the input planes
// in place and writes the coded bytes straight into the output space.
#pragma once
#include <cstddef>
#include <cstdint>

// ---- Engine ----
enum Engine_Error { Engine_EOK = 0, Engine_ENOTFOUND = 1, Engine_ENOMEM = 2 };
struct Engine_Object;
typedef Engine_Object *Engine_Handle;
// Only the engine "encode" exists; attrs is unused. NULL with *error set
// (when error is not NULL) on failure.
Engine_Handle Engine_open(const char *name, void *attrs, int *error);
void Engine_close(Engine_Handle engine);

// ---- Shared by the encoders ----
enum CodecCmd { XDM_SETPARAMS = 1, XDM_RESET = 2, XDM_GETBUFINFO = 5 };
// Chroma formats of input planes.
enum { CODEC_CHROMA_YUV422ILE = 4,   // UYVY, one plane
       CODEC_CHROMA_YUV420SP = 9 };  // NV12: luma plane, interleaved CbCr plane
enum { CODEC_MAX_BUFS = 3 };

struct CodecBufDesc {
  int32_t numBufs;
  uint8_t *bufs[CODEC_MAX_BUFS];
  int32_t bufSizes[CODEC_MAX_BUFS];
};

struct CodecBufInfo {
  int32_t minNumInBufs;
  int32_t minNumOutBufs;
  int32_t minInBufSize[CODEC_MAX_BUFS];
  int32_t minOutBufSize[CODEC_MAX_BUFS];
};

struct CodecStatus {
  int32_t size;
  uint32_t extendedError;
  CodecBufInfo bufInfo;    // filled by XDM_GETBUFINFO
};

// ---- H.264 video encoder ("h264enc") ----
enum { VIDENC1_EOK = 0, VIDENC1_EFAIL = -1, VIDENC1_EUNSUPPORTED = -3 };
enum { IVIDEO_I_FRAME = 0, IVIDEO_P_FRAME = 1, IVIDEO_B_FRAME = 2, IVIDEO_IDR_FRAME = 3 };
enum { IVIDEO_PROGRESSIVE = 0,
       IVIDEO_INTERLACED = 1 };   // one field per buffer, alternating
enum { H264ENC_RC_PRESET_NONE = 4,       // fixed QP: intraFrameQP / interPFrameQP
       H264ENC_RC_PRESET_USER = 5 };     // rcAlgo decides
enum { H264ENC_RCALGO_VBR = 1,           // mean bit rate, QP within the limits
       H264ENC_RCALGO_FIXED_QP = 2,
       H264ENC_RCALGO_CBR = 6 };         // constant rate held by a VBV of maxDelay ms
enum { H264ENC_SLICEMODE_NONE = 0,
       H264ENC_SLICEMODE_ROWS = 3 };     // sliceSize macroblock rows per slice
enum { H264ENC_OUTPUT_SLICES = 0,        // each chunk handed to putDataGetSpaceFxn
       H264ENC_OUTPUT_FRAME = 1 };       // whole access unit into the output buffer

// extendedError of "h264enc" (0: none).
enum H264EncError {
  H264ENC_ERR_NONE = 0,
  H264ENC_ERR_MAXSIZE,          // maxWidth / maxHeight
  H264ENC_ERR_INPUTSIZE,        // inputWidth / inputHeight (0, odd, above the maximum)
  H264ENC_ERR_CAPTUREWIDTH,     // pitch below the width
  H264ENC_ERR_CHROMAFORMAT,
  H264ENC_ERR_CONTENTTYPE,
  H264ENC_ERR_PROFILE,
  H264ENC_ERR_LEVEL,
  H264ENC_ERR_FRAMERATE,
  H264ENC_ERR_BITRATE,
  H264ENC_ERR_RATECONTROL,      // preset or rcAlgo
  H264ENC_ERR_QP,
  H264ENC_ERR_INTERVAL,         // intra / IDR / inter-frame interval
  H264ENC_ERR_SLICE,            // slice mode, size or output mode
  H264ENC_ERR_ASPECTRATIO,
  H264ENC_ERR_VUI,
  H264ENC_ERR_GENERATEHEADER,   // only whole pictures (0) are made
  H264ENC_ERR_NOTCONFIGURED,    // process before XDM_SETPARAMS
  H264ENC_ERR_INPUTBUF,         // missing or short input plane
  H264ENC_ERR_OUTPUTBUF,        // the access unit (or a slice) does not fit
  H264ENC_ERR_PUTDATA,          // putDataGetSpaceFxn refused more space
  H264ENC_ERR_ENCODE,           // the encoder library failed
  H264ENC_ERR_COUNT
};

// Slice output: the encoder writes a chunk (a parameter-set group or one
// slice, each NAL unit behind 00 00 00 01) into the space it holds and calls
// putDataGetSpaceFxn with buf/bufSize describing that chunk. The callback
// returns 0 after pointing buf/bufSize at the space for the next chunk, or a
// negative value to end the access unit there.
struct H264ENC_DataSyncDesc {
  uint8_t *buf;
  int32_t bufSize;
};
typedef int32_t (*H264ENC_PutDataGetSpaceFxn)(void *dataSyncHandle, H264ENC_DataSyncDesc *desc);

struct VIDENC1_Params {
  int32_t size;
  int32_t encodingPreset;
  int32_t rateControlPreset;
  int32_t maxHeight;
  int32_t maxWidth;
  int32_t maxFrameRate;       // thousandths of a frame per second
  int32_t maxBitRate;         // bit/s
  int32_t dataEndianness;
  int32_t maxInterFrameInterval;
  int32_t inputChromaFormat;
  int32_t inputContentType;
  int32_t reconChromaFormat;
};

struct H264VENC_Params {
  VIDENC1_Params videncParams;
  int32_t profileIdc;         // 66, 77 or 100
  int32_t levelIdc;           // 9 (1b) to 51
  int32_t Log2MaxFrameNumMinus4;
  int32_t ConstraintSetFlag;
  int32_t entropyMode;        // 1: CABAC (not in profile 66)
  int32_t transform8x8FlagIntraFrame;
  int32_t transform8x8FlagInterFrame;
  int32_t enableVUIparams;    // non-zero: write the VUI record below
  int32_t meAlgo;
  int32_t seqScalingFlag;     // profile 100: default scaling matrices in the SPS
  int32_t encQuality;
  int32_t sliceMode;
  int32_t outputDataMode;
  int32_t sliceFormat;        // 1: byte stream
};

struct VIDENC1_DynamicParams {
  int32_t size;
  int32_t inputHeight;        // frame lines, also for one-field-per-buffer input
  int32_t inputWidth;
  int32_t refFrameRate;       // thousandths
  int32_t targetFrameRate;    // thousandths
  int32_t targetBitRate;      // bit/s
  int32_t intraFrameInterval;
  int32_t generateHeader;
  int32_t captureWidth;       // line pitch in pixels; 0: inputWidth
  int32_t forceFrame;         // -1, or IVIDEO_I_FRAME / IVIDEO_IDR_FRAME for the next frame
  int32_t interFrameInterval; // 0 or 1: no B frames
  int32_t mbDataFlag;
};

struct H264VENC_VUIParams {
  int32_t aspectRatioInfoPresentFlag;  // write aspectRatioX:aspectRatioY as the SAR
  int32_t timingInfoPresentFlag;
  int32_t numUnitsInTicks;             // frame rate = timeScale / (2 x numUnitsInTicks)
  int32_t timeScale;
};

struct H264VENC_DynamicParams {
  VIDENC1_DynamicParams videncDynamicParams;
  int32_t sliceSize;          // macroblock rows per slice in H264ENC_SLICEMODE_ROWS
  int32_t airRate;
  int32_t intraFrameQP;       // fixed QP; -1: 28
  int32_t interPFrameQP;
  int32_t initQ;
  int32_t rcQMax;             // QP limits, P and I frames
  int32_t rcQMin;
  int32_t rcQMaxI;
  int32_t rcQMinI;
  int32_t rcAlgo;
  int32_t maxDelay;           // ms of VBV for H264ENC_RCALGO_CBR
  int32_t aspectRatioX;
  int32_t aspectRatioY;
  int32_t lfDisableIdc;
  int32_t enableBufSEI;
  int32_t enablePicTimSEI;
  int32_t perceptualRC;
  int32_t idrFrameInterval;   // 0: only the first frame
  int32_t mvSADoutFlag;
  int32_t resetHDVICPeveryFrame;
  int32_t enableROI;
  int32_t metaDataGenerateConsume;
  int32_t maxBitrateCVBR;
  int32_t interlaceRefMode;
  int32_t enableGDR;
  int32_t GDRduration;
  int32_t GDRinterval;
  int32_t CVBRminbitrate;
  H264VENC_VUIParams vui;
  H264ENC_PutDataGetSpaceFxn putDataGetSpaceFxn;
  void *dataSyncHandle;
};

struct VIDENC1_InArgs {
  int32_t size;
  int32_t inputID;            // echoed in outputID
  int32_t topFieldFirstFlag;
};

struct VIDENC1_OutArgs {
  int32_t size;
  uint32_t extendedError;
  int32_t bytesGenerated;     // every chunk of the access unit
  int32_t encodedFrameType;   // IVIDEO_*_FRAME
  int32_t inputFrameSkip;
  int32_t outputID;
};

// Fields the host encoder accepts but does not act on: encodingPreset,
// dataEndianness, reconChromaFormat, Log2MaxFrameNumMinus4, ConstraintSetFlag,
// meAlgo, encQuality, sliceFormat, refFrameRate, mbDataFlag, airRate, initQ,
// lfDisableIdc, the SEI flags, perceptualRC, mvSADoutFlag,
// resetHDVICPeveryFrame, enableROI, metaDataGenerateConsume, the CVBR and GDR
// fields, interlaceRefMode and topFieldFirstFlag.
extern const H264VENC_Params H264VENC_PARAMS_DEFAULT;
extern const H264VENC_DynamicParams H264VENC_DYNAMICPARAMS_DEFAULT;

struct VIDENC1_Object;
typedef VIDENC1_Object *VIDENC1_Handle;
// name "h264enc"; params->videncParams.size tells whether the H.264 record
// follows (sizeof(H264VENC_Params)) or only the base (its defaults apply).
VIDENC1_Handle VIDENC1_create(Engine_Handle engine, const char *name, const VIDENC1_Params *params);
void VIDENC1_delete(VIDENC1_Handle h);
// XDM_SETPARAMS takes a VIDENC1_DynamicParams, or an H264VENC_DynamicParams
// when its size says so; XDM_RESET restarts the stream with an IDR picture;
// XDM_GETBUFINFO fills status->bufInfo for the parameters set last.
int32_t VIDENC1_control(VIDENC1_Handle h, int cmd, VIDENC1_DynamicParams *dyn, CodecStatus *status);
// One frame (or one field) in: NV12 as two planes, UYVY as one, rows
// captureWidth pixels apart. A frame that does not fit the output space is
// dropped whole and the next frame is an IDR picture.
int32_t VIDENC1_process(VIDENC1_Handle h, const CodecBufDesc *inBufs, const CodecBufDesc *outBufs,
                        const VIDENC1_InArgs *inArgs, VIDENC1_OutArgs *outArgs);

// ---- JPEG image encoder ("jpegenc") ----
enum { IMGENC1_EOK = 0, IMGENC1_EFAIL = -1, IMGENC1_EUNSUPPORTED = -3 };

// extendedError of "jpegenc".
enum JpegEncError {
  JPEGENC_ERR_NONE = 0,
  JPEGENC_INVALID_MAXWIDTH = 1,
  JPEGENC_INVALID_MAXHEIGHT,
  JPEGENC_INVALID_MAXSCANS,
  JPEGENC_INVALID_DATAENDIANNESS,
  JPEGENC_INVALID_FORCECHROMAFORMAT,
  JPEGENC_INVALID_NUMAU,
  JPEGENC_INVALID_INPUTCHROMAFORMAT,
  JPEGENC_INVALID_INPUTHEIGHT,
  JPEGENC_INVALID_INPUTWIDTH,
  JPEGENC_INVALID_CAPTUREWIDTH,
  JPEGENC_INVALID_GENERATEHEADER,
  JPEGENC_INVALID_QVALUE,
  JPEGENC_INVALID_RSTINTERVAL,
  JPEGENC_INVALID_ROTATION,
  JPEGENC_INVALID_DISABLEEOI,       // 15: the last code of the published list
  JPEGENC_ERR_OUTPUTBUF = 0x100,    // the picture does not fit the output space
  JPEGENC_ERR_INPUTBUF,             // missing or short input plane
  JPEGENC_ERR_NOTCONFIGURED,
  JPEGENC_ERR_ENCODE                // the JPEG library failed
};

struct IMGENC1_Params {
  int32_t size;
  int32_t maxHeight;
  int32_t maxWidth;
  int32_t maxScans;
  int32_t dataEndianness;
  int32_t forceChromaFormat;
};

struct IMGENC1_DynamicParams {
  int32_t size;
  int32_t numAU;
  int32_t inputChromaFormat;  // CODEC_CHROMA_YUV420SP or CODEC_CHROMA_YUV422ILE
  int32_t inputHeight;
  int32_t inputWidth;
  int32_t captureWidth;       // line pitch in pixels; 0: inputWidth
  int32_t generateHeader;
  int32_t qValue;             // 1..100
  int32_t rotation;           // 0 or 90 (clockwise)
};

struct IMGENC1_InArgs { int32_t size; };
struct IMGENC1_OutArgs {
  int32_t size;
  uint32_t extendedError;
  int32_t bytesGenerated;     // with JPEGENC_ERR_OUTPUTBUF: the size the picture needs
  int32_t currentAU;
};

extern const IMGENC1_Params IMGENC1_PARAMS_DEFAULT;
extern const IMGENC1_DynamicParams IMGENC1_DYNAMICPARAMS_DEFAULT;

struct IMGENC1_Object;
typedef IMGENC1_Object *IMGENC1_Handle;
// name "jpegenc".
IMGENC1_Handle IMGENC1_create(Engine_Handle engine, const char *name, const IMGENC1_Params *params);
void IMGENC1_delete(IMGENC1_Handle h);
int32_t IMGENC1_control(IMGENC1_Handle h, int cmd, IMGENC1_DynamicParams *dyn, CodecStatus *status);
// A picture larger than outBufs->bufSizes[0] is not written: the call fails
// with JPEGENC_ERR_OUTPUTBUF and bytesGenerated holding the size it needed,
// so the caller can lower qValue and try again.
int32_t IMGENC1_process(IMGENC1_Handle h, const CodecBufDesc *inBufs, const CodecBufDesc *outBufs,
                        const IMGENC1_InArgs *inArgs, IMGENC1_OutArgs *outArgs);

// ---- H.264 video decoder ("h264dec") ----
// Pictures are written as NV12 into the output buffer the process call
// names: luma at VIDDEC2_LUMA_OFFSET, chroma at VIDDEC2_CHROMA_OFFSET, rows
// lineLength bytes apart. On the host the decoder keeps its own references,
// so every buffer it is given comes back in freeBufID of the same call.
enum { VIDDEC2_EOK = 0, VIDDEC2_EFAIL = -1, VIDDEC2_EUNSUPPORTED = -3 };
enum { XDM_GETVERSION = 6, XDM_FLUSH = 4 };
enum { VIDDEC2_MAX_IO_BUFFERS = 4 };
enum { VIDDEC2_LUMA_OFFSET = 8, VIDDEC2_CHROMA_OFFSET = 2349064 };
enum { VIDDEC2_FATAL_BIT = 15 };

// extendedError of "h264dec": bits 0-6 hold an index into
// h264dec_error_name's list, bit VIDDEC2_FATAL_BIT marks an error after which
// the instance decodes nothing more.
enum {
  H264DEC_ERR_UNSUPP_CHROMA_FORMAT_IDC = 6,
  H264DEC_ERR_UNSUPP_RESOLUTION = 13,
  H264DEC_ERR_CHANGE_IN_RESO = 21,
  H264DEC_ERR_BITSTREAM_CORRUPTION = 36,
  H264DEC_ERR_NO_NAL_SYNC_MARKER = 37,
  H264DEC_ERR_CORRU_IN_MB_DATA = 39,
  H264DEC_ERR_INSUFF_BUFSIZE = 51,
  H264DEC_ERR_INV_ARG_IN_PROCESS_CALL = 52,
  H264DEC_ERR_RESOURCE_NOT_INITIALIZED = 57,
};
// The published name of an extended error's index ("" outside 1..83).
const char *h264dec_error_name(uint32_t extendedError);

struct VIDDEC2_Params {
  int32_t size;
  int32_t maxHeight;
  int32_t maxWidth;
  int32_t maxFrameRate;       // thousandths; 0 any
  int32_t maxBitRate;         // bit/s
  int32_t dataEndianness;
  int32_t forceChromaFormat;  // CODEC_CHROMA_YUV420SP only
};

struct IH264VDEC_Params {
  VIDDEC2_Params viddecParams;
  int32_t presetLevelIdc;     // 42: level 4.2
  int32_t presetProfileIdc;
  int32_t temporalDirModePred;
  int32_t seiVuiParseFlag;
  int32_t displayOrder;       // pictures leave in display order
  int32_t errorConcealment;
  int32_t reserved;
};

struct VIDDEC2_DynamicParams {
  int32_t size;
  int32_t decodeHeader;
  int32_t displayWidth;       // 0: the picture's own
  int32_t frameSkipMode;
  int32_t frameOrder;
  int32_t newFrameFlag;
  int32_t mbDataFlag;
};

struct VIDDEC2_InArgs {
  int32_t size;
  int32_t numBytes;
  int32_t inputID;            // non-zero: names the output buffer of this call
};

struct VIDDEC2_DisplayBuf {
  int32_t id;                 // the inputID of the call that gave the buffer
  uint8_t *buf;               // the output buffer's start
  int32_t width, height, lineLength;
  int32_t frameType;          // IVIDEO_*_FRAME
};

struct VIDDEC2_OutArgs {
  int32_t size;
  uint32_t extendedError;
  int32_t bytesConsumed;
  int32_t outputID[VIDDEC2_MAX_IO_BUFFERS];      // 0-terminated
  VIDDEC2_DisplayBuf displayBufs[VIDDEC2_MAX_IO_BUFFERS];
  int32_t freeBufID[VIDDEC2_MAX_IO_BUFFERS];     // 0-terminated
  int32_t outBufsInUseFlag;
};

struct VIDDEC2_Status {
  int32_t size;
  uint32_t extendedError;
  CodecBufInfo bufInfo;       // filled by XDM_GETBUFINFO
  char *version;              // XDM_GETVERSION: filled up to versionSize
  int32_t versionSize;
};

struct VIDDEC2_Object;
typedef VIDDEC2_Object *VIDDEC2_Handle;
// name "h264dec"; params->viddecParams.size tells whether the extended
// record follows. NULL when the name or a limit is refused.
VIDDEC2_Handle VIDDEC2_create(Engine_Handle engine, const char *name, const VIDDEC2_Params *params);
void VIDDEC2_delete(VIDDEC2_Handle h);
// XDM_SETPARAMS, XDM_RESET (forgets the stream: the next picture must be a
// key frame), XDM_FLUSH (the next process calls hand out the pictures still
// held back for display order, without input), XDM_GETBUFINFO, XDM_GETVERSION.
int32_t VIDDEC2_control(VIDDEC2_Handle h, int cmd, const VIDDEC2_DynamicParams *dyn,
                        VIDDEC2_Status *status);
// Decodes one access unit (Annex-B) of inArgs->numBytes from inBufs->bufs[0]
// into outBufs->bufs[0]. A picture ready for display is in displayBufs with
// its id in outputID; with none ready outputID[0] is 0. VIDDEC2_EFAIL with
// extendedError on a bad stream.
int32_t VIDDEC2_process(VIDDEC2_Handle h, const CodecBufDesc *inBufs, const CodecBufDesc *outBufs,
                        const VIDDEC2_InArgs *inArgs, VIDDEC2_OutArgs *outArgs);

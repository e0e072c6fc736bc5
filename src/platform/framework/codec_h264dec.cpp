// "h264dec" of the codec engine on libavcodec's H.264 decoder, one thread,
// behind the VIDDEC2 calls the playback decoding makes on the board. Each
// picture libavcodec hands out is copied as NV12 into the output buffer the
// call names; libavcodec keeps its own reference pictures, so that buffer is
// at once reported for display and freed.
#include <cstring>
#include <pthread.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include "platform/framework/codec_engine_internal.h"

namespace {

const char *const kErrorNames[84] = {
    "", "DANGLING_FLD", "INVALID_SPS_CNT", "INVALID_LEVEL", "INVALID_CONSTRAINT_SET3_FLAG",
    "UNSUPP_PROFILE_IDC", "UNSUPP_CHROMA_FORMAT_IDC", "SCAL_LIST_NOT_SUPPORTED",
    "INV_MAX_FRM_NUM", "WRONG_POC", "MAX_POC_CYCLE_EXCEEDED", "INV_POC_TYPE",
    "NO_OF_REF_FRMS_EXCEEDED", "UNSUPP_RESOLUTION", "MAXCPBCNT_EXCEEDED",
    "LEVEL_SEQ_PAR_SETID_EXCEEDED", "CABAC_NOT_SUPPORTED", "WEIGHTED_PRED_NOT_SUPPORTED",
    "INV_SLICE_QP", "INV_CHROMA_QP_OFFSET", "INV_INFERENCE_FLAG", "CHANGE_IN_RESO",
    "FIRST_MB_IN_SLICE", "FMO_NOT_SUPPORTED", "MAX_PPS_CNT_EXCEEDED", "INV_SLICE_TYPE",
    "INV_PPS_ID", "INV_DPB_LIMIT", "NALU_TYPE_NOT_SUPPORTED", "INV_ASPECT_RATIO_IDC",
    "LEVEL_LIMIT_VIOLATED", "INV_MAX_REFIDX", "FRAME_NUM_ERROR", "UNSUPPORTED_SLICE_TYPE",
    "GARBAGE_DATA_IN_BITSTREAM", "MAX_NO_DATA_IN_NALU", "BITSTREAM_CORRUPTION",
    "NO_NAL_SYNC_MARKER", "MISSING_MBS", "CORRU_IN_MB_DATA", "RS_NOT_SUPP", "INV_CROPPING",
    "SLICE_ALFA_C0_OFFSET", "SLICE_BETA_OFFSET", "INV_MAX_WEIGHT_BIPRED_IDC", "INV_IDR_PIC_ID",
    "INV_PIC_ORDER_CNT_LSB", "INV_DEBLOCKING_FILT_IDC", "INV_REFIDX", "INV_FIRST_MB_IN_SLICE",
    "INV_CABAC_IDC", "INSUFF_BUFSIZE", "INV_ARG_IN_PROCESS_CALL", "INV_IMPLEMENTATION_ID",
    "INV_CODEC_ID", "INV_ARG_IN_CONTROL_CALL", "ALGO_NOT_ACTIVATED", "RESOURCE_NOT_INITIALIZED",
    "INVALID_LEVEL_SETTING_TO_4_2", "INAPPROPRIATE_LEVEL_FOR_GIVEN_RESOLN",
    "INVALID_DYNAMIC_PARAMS_SIZE", "DISPLAY_WIDTH_DYNAMIC_CHANGE_INVALID",
    "INVALID_DISPLAY_WIDTH", "DISPLAY_WIDTH_NOT_MULTIPLE_OF_32",
    "RESET_HDVICP_VALUE_NOT_SUPPORTED", "FRAME_ORDER_DYNAMIC_CHANGE_INVALID",
    "FRAME_ORDER_INVALID", "DECODE_HEADER_VALUE_INVALID", "UNALIGNED_PIC_BUFFER",
    "HEADER_NOT_FOUND", "INVALID_HEADER_FOUND", "VERSION_BUFFER_INVALID",
    "SEI_VUI_BUFFER_INVALID", "FRAME_SKIP_NOT_IMPLEMENTED", "NEW_FRAME_LOGIC_NOT_IMPLEMENTED",
    "MB_DATA_NOT_SUPPORTED", "WRONG_INPUT_ID", "SEI_NAL", "INVALID_RESERVED_BITS",
    "REF_FRAME_IN_ERROR", "GET_DATA_FXN_NULL", "CALLBK", "UNSUPPORTED_SLICEMODE_IN_MBAFF",
    "UNINTENSIONAL_FRAME_LOST"};

constexpr uint32_t kFatal = 1u << VIDDEC2_FATAL_BIT;
constexpr int kMaxChromaLines = 1088 / 2;

int align32(int v) { return (v + 31) & ~31; }

}  // namespace

struct VIDDEC2_Object {
  AVCodecContext *ctx;
  AVPacket *pkt;
  AVFrame *frame;
  int max_width, max_height;
  bool draining;   // after XDM_FLUSH, until libavcodec has nothing left
  bool dead;       // a fatal error was reported
};

const char *h264dec_error_name(uint32_t extendedError) {
  uint32_t i = extendedError & 0x7F;
  return i < 84 ? kErrorNames[i] : "";
}

VIDDEC2_Handle VIDDEC2_create(Engine_Handle engine, const char *name, const VIDDEC2_Params *params) {
  if (!engine_valid(engine) || !name || strcmp(name, "h264dec") != 0 || !params) return nullptr;
  if (params->maxWidth <= 0 || params->maxHeight <= 0 || params->maxWidth > 1920 ||
      params->maxHeight > 1088 || params->forceChromaFormat != CODEC_CHROMA_YUV420SP)
    return nullptr;
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, [] {
    if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
  });
  const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (!codec) return nullptr;
  VIDDEC2_Object *h = new VIDDEC2_Object();
  h->max_width = params->maxWidth;
  h->max_height = params->maxHeight;
  h->ctx = avcodec_alloc_context3(codec);
  h->pkt = av_packet_alloc();
  h->frame = av_frame_alloc();
  if (h->ctx) {
    h->ctx->thread_count = 1;
    // The board's decoder reports damage only through extendedError; on
    // the host libavcodec would add a line or two for every damaged
    // picture, so its messages stay below any level that prints.
    h->ctx->log_level_offset = AV_LOG_TRACE;
  }
  if (!h->ctx || !h->pkt || !h->frame || avcodec_open2(h->ctx, codec, nullptr) < 0) {
    VIDDEC2_delete(h);
    return nullptr;
  }
  return h;
}

void VIDDEC2_delete(VIDDEC2_Handle h) {
  if (!h) return;
  avcodec_free_context(&h->ctx);
  av_packet_free(&h->pkt);
  av_frame_free(&h->frame);
  delete h;
}

int32_t VIDDEC2_control(VIDDEC2_Handle h, int cmd, const VIDDEC2_DynamicParams *dyn,
                        VIDDEC2_Status *status) {
  if (!h || !status) return VIDDEC2_EFAIL;
  status->extendedError = 0;
  switch (cmd) {
    case XDM_SETPARAMS:
      if (!dyn || dyn->size < (int32_t)sizeof(VIDDEC2_DynamicParams)) {
        status->extendedError = 60;  // INVALID_DYNAMIC_PARAMS_SIZE
        return VIDDEC2_EFAIL;
      }
      return VIDDEC2_EOK;
    case XDM_RESET:
      avcodec_flush_buffers(h->ctx);
      h->draining = h->dead = false;
      return VIDDEC2_EOK;
    case XDM_FLUSH:
      if (!h->draining) avcodec_send_packet(h->ctx, nullptr);
      h->draining = true;
      return VIDDEC2_EOK;
    case XDM_GETBUFINFO: {
      CodecBufInfo &b = status->bufInfo;
      memset(&b, 0, sizeof b);
      b.minNumInBufs = 1;
      b.minNumOutBufs = 1;
      b.minInBufSize[0] = 1 << 20;
      b.minOutBufSize[0] = VIDDEC2_CHROMA_OFFSET + align32(h->max_width) * kMaxChromaLines;
      return VIDDEC2_EOK;
    }
    case XDM_GETVERSION:
      if (!status->version || status->versionSize <= 0) return VIDDEC2_EFAIL;
      snprintf(status->version, (size_t)status->versionSize, "h264dec host libavcodec %s",
               av_version_info());
      return VIDDEC2_EOK;
    default:
      status->extendedError = 55;  // INV_ARG_IN_CONTROL_CALL
      return VIDDEC2_EUNSUPPORTED;
  }
}

namespace {

// Copies the frame into out as NV12 at the board layout; an extended error
// code when it cannot.
uint32_t write_picture(VIDDEC2_Object *h, uint8_t *out, int32_t out_size, VIDDEC2_DisplayBuf *d) {
  AVFrame *f = h->frame;
  int w = f->width, ht = f->height;
  if (w > h->max_width || ht > h->max_height || w <= 0 || ht <= 0)
    return H264DEC_ERR_UNSUPP_RESOLUTION | kFatal;
  if (f->format != AV_PIX_FMT_YUV420P && f->format != AV_PIX_FMT_YUVJ420P)
    return H264DEC_ERR_UNSUPP_CHROMA_FORMAT_IDC | kFatal;
  int line = align32(w);
  if ((int64_t)line * ht + VIDDEC2_LUMA_OFFSET > VIDDEC2_CHROMA_OFFSET ||
      (int64_t)VIDDEC2_CHROMA_OFFSET + (int64_t)line * (ht / 2) > out_size)
    return H264DEC_ERR_INSUFF_BUFSIZE;
  uint8_t *luma = out + VIDDEC2_LUMA_OFFSET;
  for (int y = 0; y < ht; y++) memcpy(luma + (size_t)y * line, f->data[0] + (size_t)y * f->linesize[0], (size_t)w);
  uint8_t *chroma = out + VIDDEC2_CHROMA_OFFSET;
  for (int y = 0; y < ht / 2; y++) {
    const uint8_t *u = f->data[1] + (size_t)y * f->linesize[1];
    const uint8_t *v = f->data[2] + (size_t)y * f->linesize[2];
    uint8_t *row = chroma + (size_t)y * line;
    for (int x = 0; x < w / 2; x++) {
      row[2 * x] = u[x];
      row[2 * x + 1] = v[x];
    }
  }
  d->buf = out;
  d->width = w;
  d->height = ht;
  d->lineLength = line;
  d->frameType = f->pict_type == AV_PICTURE_TYPE_I ? IVIDEO_I_FRAME
                 : f->pict_type == AV_PICTURE_TYPE_B ? IVIDEO_B_FRAME : IVIDEO_P_FRAME;
  return 0;
}

}  // namespace

int32_t VIDDEC2_process(VIDDEC2_Handle h, const CodecBufDesc *inBufs, const CodecBufDesc *outBufs,
                        const VIDDEC2_InArgs *inArgs, VIDDEC2_OutArgs *outArgs) {
  if (!outArgs) return VIDDEC2_EFAIL;
  memset(outArgs->outputID, 0, sizeof outArgs->outputID);
  memset(outArgs->freeBufID, 0, sizeof outArgs->freeBufID);
  memset(outArgs->displayBufs, 0, sizeof outArgs->displayBufs);
  outArgs->extendedError = 0;
  outArgs->bytesConsumed = 0;
  outArgs->outBufsInUseFlag = 0;
  if (!h || !inArgs || inArgs->inputID == 0 || !codec_buf_ok(outBufs, 0, VIDDEC2_CHROMA_OFFSET)) {
    outArgs->extendedError = H264DEC_ERR_INV_ARG_IN_PROCESS_CALL;
    return VIDDEC2_EFAIL;
  }
  // The output buffer goes back in every case: references live inside.
  outArgs->freeBufID[0] = inArgs->inputID;
  if (h->dead) {
    outArgs->extendedError = H264DEC_ERR_RESOURCE_NOT_INITIALIZED | kFatal;
    return VIDDEC2_EFAIL;
  }
  uint32_t err = 0;
  if (!h->draining) {
    if (inArgs->numBytes <= 0 || !codec_buf_ok(inBufs, 0, inArgs->numBytes)) {
      outArgs->extendedError = H264DEC_ERR_INV_ARG_IN_PROCESS_CALL;
      return VIDDEC2_EFAIL;
    }
    h->pkt->data = inBufs->bufs[0];
    h->pkt->size = inArgs->numBytes;
    int rc = avcodec_send_packet(h->ctx, h->pkt);
    av_packet_unref(h->pkt);
    // EAGAIN cannot happen with one picture taken out per packet.
    if (rc < 0 && rc != AVERROR(EAGAIN)) err = H264DEC_ERR_BITSTREAM_CORRUPTION;
    else outArgs->bytesConsumed = inArgs->numBytes;
  }
  int rc = avcodec_receive_frame(h->ctx, h->frame);
  if (rc == 0) {
    uint32_t werr = write_picture(h, outBufs->bufs[0], outBufs->bufSizes[0], &outArgs->displayBufs[0]);
    // A picture with damaged macroblocks is shown as concealed, and told.
    bool concealed = h->frame->decode_error_flags || (h->frame->flags & AV_FRAME_FLAG_CORRUPT);
    av_frame_unref(h->frame);
    if (werr) {
      err = werr;
    } else {
      outArgs->displayBufs[0].id = inArgs->inputID;
      outArgs->outputID[0] = inArgs->inputID;
      if (concealed && !err) err = H264DEC_ERR_CORRU_IN_MB_DATA;
    }
  } else if (rc == AVERROR_EOF) {
    h->draining = false;  // all handed out: decoding may start again
    avcodec_flush_buffers(h->ctx);
  } else if (rc != AVERROR(EAGAIN)) {
    err = H264DEC_ERR_BITSTREAM_CORRUPTION;
  }
  if (err & kFatal) h->dead = true;
  outArgs->extendedError = err;
  return err ? VIDDEC2_EFAIL : VIDDEC2_EOK;
}

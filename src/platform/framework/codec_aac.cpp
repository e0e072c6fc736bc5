// "aacenc" and "aacdec" of the codec engine on libavcodec's native AAC-LC.
// The codec works on planar float samples; the wrappers convert from and to
// the interleaved 16-bit PCM the sound threads use, and frame the encoder's
// raw blocks with ADTS headers written here.
#include "platform/framework/audio_engine.h"

#include <cstdlib>
#include <cstring>
#include <pthread.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

#include "platform/framework/codec_engine_internal.h"

const AUDENC1_Params Aenc1_Params_DEFAULT = {
    sizeof(AUDENC1_Params), 48000, 128000, IAUDIO_2_0, IAUDIO_INTERLEAVED, 16, 512000, 1};
const AUDENC1_DynamicParams Aenc1_DynamicParams_DEFAULT = {
    sizeof(AUDENC1_DynamicParams), 128000, 48000, IAUDIO_2_0};
const AUDDEC1_Params Adec1_Params_DEFAULT = {sizeof(AUDDEC1_Params), 16, IAUDIO_INTERLEAVED};

namespace {

constexpr int kFrameSamples = 1024;     // AAC-LC samples per channel per frame
constexpr int kMaxPending = 8;
// ISO/IEC 14496-3 1.6.3.4: a channel element carries at most 6144 bits.
constexpr int kMaxFrameBytesPerChannel = 6144 / 8;

const int kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                        22050, 16000, 12000, 11025, 8000,  7350};

void quiet_libav(void) {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, [] { av_log_set_level(AV_LOG_ERROR); });
}

int16_t to_s16(float v) {
  float s = v * 32768.0f;
  if (s >= 32767.0f) return 32767;
  if (s <= -32768.0f) return -32768;
  return (int16_t)lrintf(s);
}

}  // namespace

int aac_rate_index(int rate) {
  for (int i = 0; i < 13; i++)
    if (kRates[i] == rate) return i;
  return -1;
}

int aac_index_rate(int index) { return index >= 0 && index < 13 ? kRates[index] : 0; }

// ISO/IEC 13818-7 6.2: fixed header (syncword, MPEG-4, layer 0, no CRC,
// profile, rate index, channel configuration) and variable header (frame
// length including the header, buffer fullness 0x7FF for variable rate, one
// raw data block).
int aac_adts_write_header(uint8_t *out, int rate, int channels, size_t payload) {
  int index = aac_rate_index(rate);
  size_t length = payload + ADTS_HEADER_SIZE;
  if (index < 0 || channels < 1 || channels > 7 || length > ADTS_MAX_FRAME) return -1;
  const int profile = 1;   // AAC-LC: object type 2, minus one
  out[0] = 0xFF;
  out[1] = 0xF1;
  out[2] = (uint8_t)((profile << 6) | (index << 2) | ((channels >> 2) & 1));
  out[3] = (uint8_t)(((channels & 3) << 6) | ((length >> 11) & 3));
  out[4] = (uint8_t)((length >> 3) & 0xFF);
  out[5] = (uint8_t)(((length & 7) << 5) | 0x1F);
  out[6] = 0xFC;
  return 0;
}

// ---- Encoder ----

struct Aenc1_Object {
  AVCodecContext *ctx;
  AVFrame *frame;          // one frame being filled, planar float
  int filled;              // samples per channel in frame
  int channels;
  int rate;
  int max_bit_rate;
  bool adts;
  AVPacket *pending[kMaxPending];   // encoded, not yet handed out
  int npending;
};

Aenc1_Handle Aenc1_create(Engine_Handle engine, const char *name, const AUDENC1_Params *params,
                          const AUDENC1_DynamicParams *dyn) {
  if (!engine_valid(engine) || !name || strcmp(name, "aacenc") != 0 || !params) return nullptr;
  int channels = params->channelMode == IAUDIO_1_0 ? 1 : params->channelMode == IAUDIO_2_0 ? 2 : 0;
  if (!channels || params->inputFormat != IAUDIO_INTERLEAVED || params->inputBitsPerSample != 16 ||
      aac_rate_index(params->sampleRate) < 0 || params->bitRate <= 0)
    return nullptr;
  quiet_libav();
  const AVCodec *codec = avcodec_find_encoder_by_name("aac");
  if (!codec) return nullptr;
  Aenc1_Object *h = (Aenc1_Object *)calloc(1, sizeof *h);
  if (!h) return nullptr;
  h->channels = channels;
  h->rate = params->sampleRate;
  h->max_bit_rate = params->maxBitRate > 0 ? params->maxBitRate : params->bitRate;
  h->adts = params->adtsHeader != 0;
  int bit_rate = dyn && dyn->bitRate > 0 ? dyn->bitRate : params->bitRate;
  if (bit_rate > h->max_bit_rate) bit_rate = h->max_bit_rate;

  h->ctx = avcodec_alloc_context3(codec);
  h->frame = av_frame_alloc();
  if (!h->ctx || !h->frame) goto fail;
  h->ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
  h->ctx->sample_rate = h->rate;
  h->ctx->bit_rate = bit_rate;
  h->ctx->profile = FF_PROFILE_AAC_LOW;
  av_channel_layout_default(&h->ctx->ch_layout, channels);
  if (avcodec_open2(h->ctx, codec, nullptr) < 0 || h->ctx->frame_size != kFrameSamples) goto fail;
  h->frame->format = AV_SAMPLE_FMT_FLTP;
  h->frame->nb_samples = kFrameSamples;
  h->frame->sample_rate = h->rate;
  h->frame->pts = 0;
  if (av_channel_layout_copy(&h->frame->ch_layout, &h->ctx->ch_layout) < 0 ||
      av_frame_get_buffer(h->frame, 0) < 0)
    goto fail;
  return h;
fail:
  Aenc1_delete(h);
  return nullptr;
}

int Aenc1_delete(Aenc1_Handle h) {
  if (!h) return -1;
  for (int i = 0; i < h->npending; i++) av_packet_free(&h->pending[i]);
  av_frame_free(&h->frame);
  avcodec_free_context(&h->ctx);
  free(h);
  return 0;
}

int Aenc1_getInBufSize(Aenc1_Handle h) { return h ? kFrameSamples * h->channels * 2 : -1; }

int Aenc1_getOutBufSize(Aenc1_Handle h) {
  return h ? kMaxFrameBytesPerChannel * h->channels + ADTS_HEADER_SIZE : -1;
}

AUDENC1_Handle Aenc1_getVisaHandle(Aenc1_Handle h) { return h; }

int32_t AUDENC1_control(AUDENC1_Handle h, int cmd, AUDENC1_DynamicParams *dyn,
                        AUDENC1_Status *status) {
  if (!h) return AUDENC1_EFAIL;
  if (cmd == XDM_SETPARAMS) {
    if (!dyn || dyn->bitRate <= 0) return AUDENC1_EFAIL;
    // The native encoder budgets every frame from the context's bit rate, so
    // a new rate takes effect with the next frame.
    h->ctx->bit_rate = dyn->bitRate < h->max_bit_rate ? dyn->bitRate : h->max_bit_rate;
  } else if (cmd != XDM_GETBUFINFO) {
    return AUDENC1_EUNSUPPORTED;
  }
  if (status) {
    status->extendedError = 0;
    status->bitRate = (int32_t)h->ctx->bit_rate;
  }
  return AUDENC1_EOK;
}

static int enc_receive(Aenc1_Object *h) {
  while (h->npending < kMaxPending) {
    AVPacket *pkt = av_packet_alloc();
    if (!pkt) return AUDENC1_EFAIL;
    int rc = avcodec_receive_packet(h->ctx, pkt);
    if (rc < 0) {
      av_packet_free(&pkt);
      return rc == AVERROR(EAGAIN) || rc == AVERROR_EOF ? AUDENC1_EOK : AUDENC1_EFAIL;
    }
    h->pending[h->npending++] = pkt;
  }
  return AUDENC1_EOK;
}

static int enc_send_frame(Aenc1_Object *h) {
  int rc = avcodec_send_frame(h->ctx, h->frame);
  h->frame->pts += kFrameSamples;
  h->filled = 0;
  if (rc < 0) return AUDENC1_EFAIL;
  return enc_receive(h);
}

int Aenc1_process(Aenc1_Handle h, Buffer_Handle inBuf, Buffer_Handle outBuf) {
  if (!h || !inBuf || !outBuf) return AUDENC1_EFAIL;
  const int16_t *in = (const int16_t *)Buffer_getUserPtr(inBuf);
  size_t frame_bytes = (size_t)h->channels * 2;
  size_t frames = Buffer_getNumBytesUsed(inBuf) / frame_bytes;
  Buffer_setNumBytesUsed(outBuf, 0);
  if (!in && frames) return AUDENC1_EFAIL;

  int rc = AUDENC1_EOK;
  for (size_t i = 0; i < frames && rc == AUDENC1_EOK; i++) {
    if (h->filled == 0 && av_frame_make_writable(h->frame) < 0) return AUDENC1_EFAIL;
    for (int c = 0; c < h->channels; c++)
      ((float *)h->frame->data[c])[h->filled] = in[i * h->channels + c] * (1.0f / 32768.0f);
    if (++h->filled == kFrameSamples) rc = enc_send_frame(h);
  }
  Buffer_setNumBytesUsed(inBuf, frames * frame_bytes);
  if (rc != AUDENC1_EOK) return rc;

  uint8_t *out = (uint8_t *)Buffer_getUserPtr(outBuf);
  size_t room = Buffer_getSize(outBuf), used = 0;
  int taken = 0;
  while (taken < h->npending) {
    AVPacket *pkt = h->pending[taken];
    size_t head = h->adts ? ADTS_HEADER_SIZE : 0;
    if (!out || used + head + (size_t)pkt->size > room) break;
    if (h->adts && aac_adts_write_header(out + used, h->rate, h->channels, (size_t)pkt->size) < 0)
      return AUDENC1_EFAIL;
    memcpy(out + used + head, pkt->data, (size_t)pkt->size);
    used += head + (size_t)pkt->size;
    av_packet_free(&h->pending[taken]);
    taken++;
  }
  memmove(h->pending, h->pending + taken, (size_t)(h->npending - taken) * sizeof h->pending[0]);
  h->npending -= taken;
  Buffer_setNumBytesUsed(outBuf, used);
  return AUDENC1_EOK;
}

// ---- Decoder ----

struct Adec1_Object {
  AVCodecContext *ctx;
  AVPacket *pkt;
  AVFrame *frame;
  int rate;
  int channels;
};

Adec1_Handle Adec1_create(Engine_Handle engine, const char *name, const AUDDEC1_Params *params,
                          const void *) {
  if (!engine_valid(engine) || !name || strcmp(name, "aacdec") != 0) return nullptr;
  if (params && (params->outputPCMWidth != 16 || params->pcmFormat != IAUDIO_INTERLEAVED))
    return nullptr;
  quiet_libav();
  const AVCodec *codec = avcodec_find_decoder_by_name("aac");
  if (!codec) return nullptr;
  Adec1_Object *h = (Adec1_Object *)calloc(1, sizeof *h);
  if (!h) return nullptr;
  h->ctx = avcodec_alloc_context3(codec);
  h->pkt = av_packet_alloc();
  h->frame = av_frame_alloc();
  if (!h->ctx || !h->pkt || !h->frame || avcodec_open2(h->ctx, codec, nullptr) < 0) {
    Adec1_delete(h);
    return nullptr;
  }
  return h;
}

int Adec1_delete(Adec1_Handle h) {
  if (!h) return -1;
  av_frame_free(&h->frame);
  av_packet_free(&h->pkt);
  avcodec_free_context(&h->ctx);
  free(h);
  return 0;
}

int Adec1_getInBufSize(Adec1_Handle h) { return h ? ADTS_MAX_FRAME : -1; }
int Adec1_getOutBufSize(Adec1_Handle h) { return h ? kFrameSamples * 2 * 2 : -1; }
int Adec1_getSampleRate(Adec1_Handle h) { return h ? h->rate : 0; }
int Adec1_getChannels(Adec1_Handle h) { return h ? h->channels : 0; }

// Appends the frame's samples as interleaved S16 stereo; -1 when they do not
// fit or the layout is not planar or packed float.
static int dec_store(Adec1_Object *h, uint8_t *out, size_t room, size_t *used) {
  AVFrame *f = h->frame;
  int ch = f->ch_layout.nb_channels;
  if (ch < 1) return -1;
  size_t need = (size_t)f->nb_samples * 4;
  if (!out || *used + need > room) return -1;
  bool planar = f->format == AV_SAMPLE_FMT_FLTP;
  if (!planar && f->format != AV_SAMPLE_FMT_FLT) return -1;
  int16_t *dst = (int16_t *)(out + *used);
  int right = ch > 1 ? 1 : 0;
  for (int i = 0; i < f->nb_samples; i++) {
    float l, r;
    if (planar) {
      l = ((const float *)f->extended_data[0])[i];
      r = ((const float *)f->extended_data[right])[i];
    } else {
      l = ((const float *)f->data[0])[i * ch];
      r = ((const float *)f->data[0])[i * ch + right];
    }
    dst[2 * i] = to_s16(l);
    dst[2 * i + 1] = to_s16(r);
  }
  *used += need;
  h->rate = f->sample_rate;
  h->channels = ch;
  return 0;
}

int Adec1_process(Adec1_Handle h, Buffer_Handle inBuf, Buffer_Handle outBuf) {
  if (!h || !inBuf || !outBuf) return -1;
  size_t len = Buffer_getNumBytesUsed(inBuf);
  Buffer_setNumBytesUsed(outBuf, 0);
  if (len == 0 || len > ADTS_MAX_FRAME || !Buffer_getUserPtr(inBuf)) return -1;
  // The decoder may read a few bytes past the packet: give it padded memory.
  if (av_new_packet(h->pkt, (int)len) < 0) return -1;
  memcpy(h->pkt->data, Buffer_getUserPtr(inBuf), len);
  int rc = avcodec_send_packet(h->ctx, h->pkt);
  av_packet_unref(h->pkt);
  if (rc < 0) {
    Buffer_setNumBytesUsed(inBuf, 0);
    return -1;
  }
  Buffer_setNumBytesUsed(inBuf, len);
  uint8_t *out = (uint8_t *)Buffer_getUserPtr(outBuf);
  size_t room = Buffer_getSize(outBuf), used = 0;
  int result = 0;
  for (;;) {
    rc = avcodec_receive_frame(h->ctx, h->frame);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
    if (rc < 0) {
      result = -1;
      break;
    }
    if (dec_store(h, out, room, &used) < 0) result = -1;
    av_frame_unref(h->frame);
  }
  Buffer_setNumBytesUsed(outBuf, used);
  return result;
}

// The audio half of the media framework: the AAC encoder and decoder of the
// codec engine ("aacenc", "aacdec"), the Sound device module, the PCM seam
// through which the sound modules open and time ALSA devices, and the
// simple-mixer seam of the board's audio codec.
//
// On the host the codecs run on libavcodec's native AAC, the device names of
// the board ("hw:0,0", "hw:0,1", "plughw:0,0") are served by the real ALSA
// library from a configuration inside the root (capture from a tone source,
// playback into a file), and the mixer is a stand-in holding the codec's
// named controls (see sim_control.h).
#pragma once
#include <alsa/asoundlib.h>
#include <cstddef>
#include <cstdint>

#include "platform/framework/codec_engine.h"
#include "platform/framework/dmai.h"

// ---- Audio codecs ----
enum { IAUDIO_1_0 = 0,            // mono
       IAUDIO_2_0 = 1 };          // stereo
enum { IAUDIO_BLOCK = 0, IAUDIO_INTERLEAVED = 1 };
enum { AUDENC1_EOK = 0, AUDENC1_EFAIL = -1, AUDENC1_EUNSUPPORTED = -3 };

struct AUDENC1_Params {
  int32_t size;
  int32_t sampleRate;             // Hz: 8000 to 96000
  int32_t bitRate;                // bit/s
  int32_t channelMode;            // IAUDIO_1_0 or IAUDIO_2_0
  int32_t inputFormat;            // IAUDIO_INTERLEAVED only
  int32_t inputBitsPerSample;     // 16 only
  int32_t maxBitRate;             // bit/s; bitRate is held below it
  int32_t adtsHeader;             // 1: every frame behind an ADTS header; 0: raw
};

struct AUDENC1_DynamicParams {
  int32_t size;
  int32_t bitRate;                // the only field a running encoder changes
  int32_t sampleRate;
  int32_t channelMode;
};

struct AUDENC1_Status {
  int32_t size;
  uint32_t extendedError;
  int32_t bitRate;                // in effect after the call
};

struct AUDDEC1_Params {
  int32_t size;
  int32_t outputPCMWidth;         // 16 only
  int32_t pcmFormat;              // IAUDIO_INTERLEAVED only
};

extern const AUDENC1_Params Aenc1_Params_DEFAULT;     // 48000 Hz stereo 128000, ADTS
extern const AUDENC1_DynamicParams Aenc1_DynamicParams_DEFAULT;
extern const AUDDEC1_Params Adec1_Params_DEFAULT;

struct Aenc1_Object;
typedef Aenc1_Object *Aenc1_Handle;
typedef Aenc1_Object *AUDENC1_Handle;   // the codec instance behind the wrapper

// name "aacenc". NULL when the engine, the name or a parameter is refused.
Aenc1_Handle Aenc1_create(Engine_Handle engine, const char *name, const AUDENC1_Params *params,
                          const AUDENC1_DynamicParams *dyn);
// Encodes the input buffer's bytes used (interleaved S16, normally one frame
// of 1024 samples per channel) and sets the input's bytes used to what was
// consumed. Writes the frames that became ready into the output buffer and
// sets its bytes used: 0 while the encoder is still priming (its first call
// yields nothing). A frame that does not fit is kept for the next call.
// AUDENC1_EOK or a negative value.
int Aenc1_process(Aenc1_Handle h, Buffer_Handle inBuf, Buffer_Handle outBuf);
// Bytes of one input frame, and the most one output frame can take.
int Aenc1_getInBufSize(Aenc1_Handle h);
int Aenc1_getOutBufSize(Aenc1_Handle h);
AUDENC1_Handle Aenc1_getVisaHandle(Aenc1_Handle h);
int Aenc1_delete(Aenc1_Handle h);
// XDM_SETPARAMS changes the bit rate from the next frame on (dyn->bitRate,
// held below maxBitRate); XDM_GETBUFINFO fills status->bitRate only.
int32_t AUDENC1_control(AUDENC1_Handle h, int cmd, AUDENC1_DynamicParams *dyn,
                        AUDENC1_Status *status);

struct Adec1_Object;
typedef Adec1_Object *Adec1_Handle;

// name "aacdec"; dyn is unused and may be NULL.
Adec1_Handle Adec1_create(Engine_Handle engine, const char *name, const AUDDEC1_Params *params,
                          const void *dyn);
// Decodes one ADTS frame (the input's bytes used) and sets the input's bytes
// used to what was consumed. The output is always interleaved S16 stereo (a
// mono stream on both channels, further channels dropped); its bytes used are
// set, 0 when the frame held no audio. 0, or a negative value when the frame
// is not AAC or the output does not fit.
int Adec1_process(Adec1_Handle h, Buffer_Handle inBuf, Buffer_Handle outBuf);
// The largest ADTS frame, and the PCM of one frame.
int Adec1_getInBufSize(Adec1_Handle h);
int Adec1_getOutBufSize(Adec1_Handle h);
// Rate and channel count of the last frame decoded (0 before the first).
int Adec1_getSampleRate(Adec1_Handle h);
int Adec1_getChannels(Adec1_Handle h);
int Adec1_delete(Adec1_Handle h);

// ---- ADTS ----
enum { ADTS_HEADER_SIZE = 7, ADTS_CRC_SIZE = 2, ADTS_MAX_FRAME = 8191 };
// The sampling-frequency index of a rate (-1 when the rate has none), and
// the rate of an index (0 for the reserved indexes 13 to 15).
int aac_rate_index(int rate);
int aac_index_rate(int index);
// Writes the 7-byte header of an AAC-LC frame of payload bytes. -1 when the
// rate has no index or the frame would exceed ADTS_MAX_FRAME.
int aac_adts_write_header(uint8_t *out, int rate, int channels, size_t payload);

// ---- Sound devices ----
enum Sound_Mode { Sound_Mode_OUTPUT = 0, Sound_Mode_INPUT = 1, Sound_Mode_FULLDUPLEX = 2 };
enum Sound_Input { Sound_Input_MIC = 0, Sound_Input_LINE = 1, Sound_Input_DIGITAL = 2 };

struct SoundAttrs {
  int sampleRate;
  int channels;
  int leftGain;
  int rightGain;
  int mode;           // Sound_Mode
  int soundInput;     // Sound_Input
  int periodSize;     // frames
};

// A sound device: either direction may be absent. The media framework's
// Sound_create builds one; the capture module fills its own (malloc'd) and
// hands it to Sound_delete like any other.
struct SoundDevice {
  snd_pcm_t *rcIn;                 // capture
  snd_pcm_t *rcOut;                // playback
  int sampleRate;
  int bytesPerSample;              // 2 (S16_LE) or 4 (S32_LE)
  int channels;
  snd_pcm_uframes_t periodSize;    // frames
  snd_pcm_uframes_t bufSize;       // frames
  snd_pcm_hw_params_t *hwParamsIn;
  snd_pcm_hw_params_t *hwParamsOut;
  snd_pcm_sw_params_t *swParamsIn;
  snd_pcm_sw_params_t *swParamsOut;
};
typedef SoundDevice *Sound_Handle;

// Trace level of the "[Sound]" set-up dump (errors trace at GT_7CLASS).
enum { SOUND_TRACE_DUMP = GT_4CLASS };

// Output opens "plughw:0,0" (S16_LE); input opens "hw:0,0" (S16_LE). NULL,
// with the reason traced, when a device cannot be opened or set up.
Sound_Handle Sound_create(const SoundAttrs *attrs);
// Fills the buffer (its size, whole frames) from the capture direction and
// sets its bytes used. 0, or a negative ALSA error.
int Sound_read(Sound_Handle s, Buffer_Handle buf);
// Plays the buffer's bytes used (whole frames) on the playback direction,
// recovering once from an underrun. 0, or a negative ALSA error.
int Sound_write(Sound_Handle s, Buffer_Handle buf);
// Closes both directions and frees the object.
int Sound_delete(Sound_Handle s);

// Opens one direction of s on a device ("hw:0,0"...) and sets it up:
// interleaved read/write access, format by s->bytesPerSample, s->sampleRate
// (near), s->channels, a period near attrs->periodSize frames and a buffer of
// at most 500 ms; then the software parameters (avail min one period, start
// threshold 1 for capture and the buffer otherwise, stop threshold the
// buffer). Fills s->rcIn or s->rcOut, s->sampleRate as granted,
// s->periodSize, s->bufSize and the direction's parameter records; failures
// are traced with "[Sound]" texts naming the device, and what was opened
// stays in s for Sound_delete. 0 or a negative ALSA error.
int Sound_openPcm(Sound_Handle s, const char *name, snd_pcm_stream_t stream,
                  const SoundAttrs *attrs);

// ---- PCM seam ----
// The sound modules open and close PCM devices, apply their hardware
// parameters and read their time stamps through these calls; every other PCM
// call is the ALSA library's own. Results as the ALSA calls of the same names.
int Sound_pcmOpen(snd_pcm_t **pcm, const char *name, snd_pcm_stream_t stream, int mode);
int Sound_pcmClose(snd_pcm_t *pcm);
int Sound_pcmHwParams(snd_pcm_t *pcm, snd_pcm_hw_params_t *params);
// The board's audio driver fills ts->tv_sec with the 90 kHz media clock at
// the last period boundary (tv_nsec 0), and avail with the frames captured
// since.
int Sound_pcmHtimestamp(snd_pcm_t *pcm, snd_pcm_uframes_t *avail, snd_htimestamp_t *ts);

// ---- Simple-mixer seam ----
// The board's codec controls as ALSA's simple mixer presents them. Results
// are 0 or a negative errno value (snd_strerror gives its text).
enum Mixer_Dir { Mixer_PLAYBACK = 0, Mixer_CAPTURE = 1 };
struct Mixer_Object;
typedef Mixer_Object *Mixer_Handle;
struct MixerElem_Object;
typedef MixerElem_Object *MixerElem_Handle;

int Mixer_open(Mixer_Handle *mixer);
int Mixer_attach(Mixer_Handle mixer, const char *card);   // "hw:0"
int Mixer_register(Mixer_Handle mixer);
int Mixer_load(Mixer_Handle mixer);
// Frees the mixer and its element handles. NULL is ignored.
void Mixer_close(Mixer_Handle mixer);
MixerElem_Handle Mixer_firstElem(Mixer_Handle mixer);
MixerElem_Handle Mixer_nextElem(MixerElem_Handle elem);

const char *MixerElem_getName(MixerElem_Handle elem);
bool MixerElem_isActive(MixerElem_Handle elem);
bool MixerElem_hasVolume(MixerElem_Handle elem, int dir);
bool MixerElem_hasSwitch(MixerElem_Handle elem, int dir);
bool MixerElem_hasCommonVolume(MixerElem_Handle elem);
bool MixerElem_hasCommonSwitch(MixerElem_Handle elem);
bool MixerElem_hasChannel(MixerElem_Handle elem, int dir, int channel);
bool MixerElem_isEnumerated(MixerElem_Handle elem);
int MixerElem_getVolume(MixerElem_Handle elem, int dir, int channel, long *value);
// Values outside the control's range are clamped into it.
int MixerElem_setVolume(MixerElem_Handle elem, int dir, int channel, long value);
int MixerElem_getSwitch(MixerElem_Handle elem, int dir, int channel, int *value);
int MixerElem_setSwitch(MixerElem_Handle elem, int dir, int channel, int value);
int MixerElem_getEnumItem(MixerElem_Handle elem, int channel, unsigned *item);
int MixerElem_setEnumItem(MixerElem_Handle elem, int channel, unsigned item);

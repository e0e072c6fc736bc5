// m7391: the thread table. This is the only file that names every
// subsystem's thread function; start-up and shutdown live in core.
#include <cstdio>

#include "control/cmd_exec.h"
#include "control/serial_port.h"
#include "control/status_events.h"
#include "core/board_io.h"
#include "core/firmware.h"
#include "core/log.h"
#include "core/net_init.h"
#include "core/param_apply.h"
#include "core/param_table.h"
#include "core/startup.h"
#include "display/display_hd.h"
#include "display/display_playback.h"
#include "display/dvr_keys.h"
#include "display/dvr_logic.h"
#include "display/gui_toolkit.h"
#include "display/keyboard_input.h"
#include "display/overlay_thread.h"
#include "media/capture.h"
#include "media/sound.h"
#include "media/stream_mux.h"
#include "media/video_enc.h"
#include "osd/osd_channel.h"
#include "platform/ctl_service.h"
#include "storage/recorder.h"
#include "streaming/rtmp_server.h"
#include "streaming/rtsp_server.h"
#include "streaming/udp_sender.h"
#include "web/httpd.h"
#include "web/web_upload.h"
#include "media/stream_producer.h"
#include "storage/filesys.h"
#include "storage/playback.h"

#include <cstring>
#include <string>

namespace {

CaptureEnv capture_env;
SoundEnv sound_env;
PlaybackEnv playback_env;
VideoEncParams videoA_params, videoB_params;
RecordEnv record_env, snapshot_env;
UdpSenderEnv udpA_env, udpB_env;
DisplayEnv display_env;
GpioEnv gpio_env;
OutputEnv output_env;
GuiContext overlay_env;
ThreadEnv httpd_env, rtp_env, rtmpA_env, rtmpB_env,
    rtmpC_env, serial_env;

// The display's FIFOs exist once its prepare step ran (earlier in the table).
int output_prepare(ThreadEnv *) { return display_connect_playback(&display_env); }

// A NULL thread function runs the stub of a subsystem not built yet.
const ThreadSpec thread_table[] = {
    {"capture_hd", captureThrFxn, 3, "%s %d: Failed to create capture thread\n", &capture_env.env,
     capture_prepare, "%s %d: Failed to open capture fifos\n"},
    {"videoA", videoThrFxn, 1, "%s %d: Failed to create video thread\n", &videoA_params.env, nullptr, nullptr},
    {"videoB", videoThrFxn, 1, "%s %d: Failed to create image thread\n", &videoB_params.env, nullptr, nullptr},
    {"display_hd", displayThrFxn, 6, "%s %d: Failed to create display thread\n", &display_env.env,
     display_prepare, "%s %d: Failed to open display fifos\n"},
    {"overlay", overlayThrFxn, 15, "%s %d: Failed to create overlay thread\n", &overlay_env.env,
     overlay_prepare, "%s %d: Failed to open overlay fifos\n"},
    {"httpd", httpdThrFxn, 12, "%s %d: Failed to create httpd thread\n", &httpd_env, nullptr, nullptr},
    {"sound", soundCaptureThrFxn, 8, "%s %d: Failed to create sound thread\n", &sound_env.env,
     nullptr, nullptr},
    {"playback", soundPlaybackThrFxn, 8, "%s %d: Failed to create sound playback thread\n",
     &playback_env.env, sound_playback_prepare, "%s %d: Failed to open sound playback fifos\n"},
    {"gpio", gpioThrFxn, 4, "%s %d: Failed to create gpio thread\n", &gpio_env.env, gpio_prepare,
     "%s %d: Failed to open gpio fifos\n"},
    {"output_hd", playback_file, 14, "%s %d: Failed to create output thread\n", &output_env.env, output_prepare,
     nullptr},
    {"rtp", rtpThrFxn, 7, "%s %d: Failed to create RTP thread\n", &rtp_env, nullptr, nullptr},
    {"udpA", udpThrFxn, 7, "%s %d: Failed to create udp thread\n", &udpA_env.env, nullptr, nullptr},
    {"udpB", udpThrFxn, 7, "%s %d: Failed to create udp thread\n", &udpB_env.env, nullptr, nullptr},
    {"rtmpA", rtmpThrFxn, 7, "%s %d: Failed to create rtmp thread\n", &rtmpA_env, nullptr, nullptr},
    {"rtmpB", rtmpThrFxn, 7, "%s %d: Failed to create rtmp thread\n", &rtmpB_env, nullptr, nullptr},
    {"rtmpC", rtmpServerThrFxn, 7, "%s %d: Failed to create rtmp thread\n", &rtmpC_env, nullptr, nullptr},
    {"record", recordThrFxn, 10, "%s %d: Failed to create record thread\n", &record_env.env, nullptr, nullptr},
    {"snapshot", recordThrFxn, 11, "%s %d: Failed to create record thread\n", &snapshot_env.env, nullptr, nullptr},
    {"serial", serialThrFxn, 2, "%s %d: Failed to create serial thread\n", &serial_env, nullptr, nullptr},
    {nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr},
};

void stop_all_streams(int) { stream_stop_all(); }

void flush_fifos(void) {
  capture_flush_fifo();
  sound_playback_flush(&playback_env);
  Fifo_flush(overlay_env.free_fifo);
  Fifo_flush(overlay_env.image_fifo);
}

int stream_status_copy(int id, char *buf, size_t size) {
  int n = udp_status_copy(id, buf, size);
  return n >= 0 ? n : serial_status_copy(id, buf, size);
}

int stream_running(int id) { return stream_get_state_by_id((uint32_t)id) == 1; }
void stream_set_running(int id, int run) { stream_set_state_by_id((uint32_t)id, run); }
void stream_restart_id(int id) { stream_restart((uint32_t)id); }

// The hooks above take a change group's number as a stream id.
constexpr bool numbered_as(ChangeGroup group, StreamId id) { return uint32_t(group) == uint32_t(id); }
static_assert(numbered_as(CG_VIDEO_A, VIDEO_STREAM1) && numbered_as(CG_VIDEO_B, VIDEO_STREAM2) &&
                  numbered_as(CG_DISPLAY_STREAM, OUTPUT_STREAM) && numbered_as(CG_UDP_A, UDP_STREAM1) &&
                  numbered_as(CG_UDP_B, UDP_STREAM2) && numbered_as(CG_RTMP_A, RTMP_STREAM1) &&
                  numbered_as(CG_RTMP_B, RTMP_STREAM2) && numbered_as(CG_RECORDING, RECORD_STREAM) &&
                  numbered_as(CG_SERIAL, SERIAL_STREAM),
              "a stream's change group is numbered as its id");

void fill_apply_hooks(void) {
  ParamApplyHooks &h = param_apply_hooks;
  h.stream_running = stream_running;
  h.stream_set_state = stream_set_running;
  h.stream_status_copy = stream_status_copy;
  h.stream_restart = stream_restart_id;
  h.check_h264_mpeg4_conflict = check_h264_mpeg4_conflict;
  h.init_network = init_network;
  h.recording_status_text = getRecordingStatus;
  h.recording_storage_text = getRecordingStorage;
  h.capture_apply_settings = capture_settings_changed;
  h.capture_frame_rate = capture_frame_rate;
  h.capture_size = capture_size;
  h.capture_lock_state = capture_lock_state;
  h.capture_resolution_text = capture_resolution_text;
  h.decoder_reg_read = decoder_reg_read;
  h.decoder_reg_write = decoder_reg_write;
  h.playback_set_audio_passthru = playback_set_audio_passthru;
  h.firmware_version_text = firmware_version_text;
  h.firmware_status_take = firmware_status_take;
  h.customzip_clear = customzip_clear;
  h.customzip_size = customzip_size;
  h.gpio_get = gpio_get;
  h.gpio_set = gpio_set;
  h.encoder_count_get = encoder_count_get;
  h.encoder_count_set = encoder_count_set;
  h.board_reg_read = [](uint32_t reg) { return (uint32_t)prtc_read(reg); };
  h.board_reg_write = [](uint32_t reg, uint32_t value) { prtc_write(reg, (uint8_t)value); };
}

void load_bundle(void) { customzip_load(); }

// Requests reaching the local control service run on its own exchange.
size_t serve_request(uint8_t *frame, size_t n, size_t size) {
  static CtlExchange ex;
  memcpy(ex.request.frame, frame, n < sizeof ex.request.frame ? n : sizeof ex.request.frame);
  size_t len = cmd_exec_frame(&ex, n);
  if (len > size) return 0;
  memcpy(frame, ex.reply.frame, len);
  return len;
}

void start_status_events(void) {
  status_events_init(get_param_block());
  ctl_service_start(serve_request);
}

const char *rescue_firmware(int fd) {
  return firmware_upload_file(fd, "rescue_7391.fw") == 0 ? firmware_status_peek() : nullptr;
}

}  // namespace

int main(void) {
  // What is still printed without the logger (the EDID printer, the
  // decoders' own notes) shows when it happens, not in one heap at exit.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  dvr_keys_install_hooks();
  sound_env.engine = "encode";
  sound_env.channels = 2;
  playback_env.engine = "encode";
  output_env.engine = "encode";
  output_env.audio = &playback_env;
  stream_mux_init();
  video_enc_init(&videoA_params, &videoB_params);
  record_env.stream_id = 13;
  snapshot_env.stream_id = 14;
  udpB_env.index = 1;
  recorder_hooks.set_decimate = setVideoDecimate;
  core_hooks.osd_init = osd_start;
  core_hooks.stream_stop_all = stop_all_streams;
  core_hooks.filesys_done = fileSysDone;
  core_hooks.flush_fifos = flush_fifos;
  core_hooks.status_events_init = start_status_events;
  core_hooks.status_events_shutdown = status_events_shutdown;
  core_hooks.serial_global_quit = serial_global_quit;
  serial_frame_handler = cmd_exec_frame;
  capture_video_status_hook = set_video_status;
  dvr_key_hooks.status_update = status_update;
  storage_hooks.file_list_stale = cmd_file_list_stale;
  cmd_install_hooks();
  cmd_hooks.board_set_power = board_set_power;
  cmd_hooks.request_suspend = request_suspend;
  fill_apply_hooks();
  display_env.capture_env = &capture_env;
  display_install_hooks(&display_env);
  overlay_env.display_env = &display_env;
  overlay_install_hooks(&overlay_env);
  gui_toolkit_install_hooks();
  dvr_logic_install_hooks();
  web_osd_post_image = osd_post_image;
  storage_hooks.firmware_busy = firmware_update_in_progress;
  storage_hooks.rescue_firmware = rescue_firmware;
  storage_hooks.rescue_custom_zip = customzip_save_file;
  core_hooks.customzip_load = load_bundle;
  core_hooks.wifi_archive_extract = wifi_archive_extract;
  core_hooks.board_init_model = board_init_model;
  core_hooks.storage_unmount = unmount_all;
  core_hooks.keyboard_scan = keyboard_scan;
  core_hooks.ntpd_stop = ntpd_stop;
  firmware_led_blink = gpio_blink_xled;
  core_hooks.init_network = [] { init_network(get_param_block()); };
  core_hooks.set_wifi_status = set_wifi_status;
  param_apply_hooks.telnet_enable = telnet_enable;
  storage_hooks.wifi_active = [] { return hostapd_pid() > 0 ? 1 : 0; };
  storage_hooks.wifi_archive_install = [](int fd) { wifi_archive_install(get_param_block(), fd); };
  log_error_led_hook = board_error_led;
  storage_hooks.usb_check_id = usb_check_id;
  int status = core_main(thread_table);
  ctl_service_stop();
  return status;
}

// The parameter table, the compiled-in defaults and the live block.
#include "core/param_table.h"
#include <cstring>
#include <strings.h>
#include "core/param_types.h"

// Float rows keep their range as the float's bits.
#define PARAM_F_MAX 0x7F7FFFFF                 // FLT_MAX
#define PARAM_F_NEG_MAX int32_t(0xFF7FFFFFu)   // -FLT_MAX
#define PF(field) uint32_t(offsetof(ParamBlock, field))

// Families are listed member by member: Net[0].Addr, Net[1].Addr, Net[0].Mask...
// The two "Timestamp" rows: the first only writes, the second only reads.
// A channel's overlay position marks that channel's overlay group (A: 28),
// its H.264 level and profile that channel's stream. A stream's Status and
// State rows hold its change group, which is numbered as the stream's id.
const ParamDesc paramTable[PARAM_ROW_COUNT + 1] = {
  {"GpioAlarmEnabled", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(gpio_alarm_enabled), NULL, NULL},
  {"GpioInTrigLevel", PARAM_INTEGER, CG_NONE, 0, 100, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(gpio_in_trig_level), NULL, NULL},
  {"GpioOutDefault", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(gpio_out_default), NULL, NULL},
  {"AlarmTimeout", PARAM_INTEGER, CG_NONE, 0, 3600, 1, 4, PERM_ADMIN, PERM_ADMIN, PF(alarm_timeout), NULL, NULL},
  {"VlockAlarmEnabled", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(vlock_alarm_enabled), NULL, NULL},
  {"VlockThreshold", PARAM_INTEGER, CG_NONE, 0, 100, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(vlock_threshold), NULL, NULL},
  {"NetworkMACAddr", PARAM_CONVERTED, CG_NETWORK, 0, 0, 0, 6, PERM_ADMIN, PERM_ADMIN, PF(mac_addr), param_format_mac, param_parse_mac},
  {"NetworkMode", PARAM_INTEGER, CG_NETWORK, 0, 2, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(network_mode), NULL, NULL},
  {"NetworkHostname", PARAM_STRING, CG_NETWORK, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(hostname), NULL, NULL},
  {"Net[0].Addr", PARAM_CONVERTED, CG_NETWORK, 0, 0, 0, 4, PERM_ADMIN, PERM_ADMIN, PF(net[0].addr), param_format_ip, param_parse_ip},
  {"Net[1].Addr", PARAM_CONVERTED, CG_NETWORK, 0, 0, 0, 4, PERM_ADMIN, PERM_ADMIN, PF(net[1].addr), param_format_ip, param_parse_ip},
  {"Net[0].Mask", PARAM_CONVERTED, CG_NETWORK, 0, 0, 0, 4, PERM_ADMIN, PERM_ADMIN, PF(net[0].mask), param_format_ip, param_parse_netmask},
  {"Net[1].Mask", PARAM_CONVERTED, CG_NETWORK, 0, 0, 0, 4, PERM_ADMIN, PERM_ADMIN, PF(net[1].mask), param_format_ip, param_parse_netmask},
  {"Net[0].Gateway", PARAM_CONVERTED, CG_NETWORK, 0, 0, 0, 4, PERM_ADMIN, PERM_ADMIN, PF(net[0].gateway), param_format_ip, param_parse_ip},
  {"Net[1].Gateway", PARAM_CONVERTED, CG_NETWORK, 0, 0, 0, 4, PERM_ADMIN, PERM_ADMIN, PF(net[1].gateway), param_format_ip, param_parse_ip},
  {"Net[0].DNS1", PARAM_CONVERTED, CG_NETWORK, 0, 0, 0, 4, PERM_ADMIN, PERM_ADMIN, PF(net[0].dns1), param_format_ip, param_parse_ip},
  {"Net[1].DNS1", PARAM_CONVERTED, CG_NETWORK, 0, 0, 0, 4, PERM_ADMIN, PERM_ADMIN, PF(net[1].dns1), param_format_ip, param_parse_ip},
  {"Net[0].DNS2", PARAM_CONVERTED, CG_NETWORK, 0, 0, 0, 4, PERM_ADMIN, PERM_ADMIN, PF(net[0].dns2), param_format_ip, param_parse_ip},
  {"Net[1].DNS2", PARAM_CONVERTED, CG_NETWORK, 0, 0, 0, 4, PERM_ADMIN, PERM_ADMIN, PF(net[1].dns2), param_format_ip, param_parse_ip},
  {"NetworkTimeServer", PARAM_STRING, CG_NETWORK, 0, 0, 0, 80, PERM_ADMIN, PERM_ADMIN, PF(network_time_server), NULL, NULL},
  {"EnableTelnet", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 0, NULL, param_parse_telnet},
  {"LogUDPAddr", PARAM_CONVERTED, CG_NETWORK, 0, 0, 0, 4, PERM_ADMIN, PERM_ADMIN, PF(log_udp_addr), param_format_ip, param_parse_ip},
  {"NetworkDisableMDNS", PARAM_INTEGER, CG_NETWORK, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(network_disable_mdns), NULL, NULL},
  {"UDP[0].StreamID", PARAM_INTEGER, CG_UDP_A, 1, 5, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp[0].stream_id), NULL, NULL},
  {"UDP[1].StreamID", PARAM_INTEGER, CG_UDP_B, 1, 5, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp[1].stream_id), NULL, NULL},
  {"UDP[0].StartMode", PARAM_INTEGER, CG_UDP_A, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp[0].start_mode), NULL, NULL},
  {"UDP[1].StartMode", PARAM_INTEGER, CG_UDP_B, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp[1].start_mode), NULL, NULL},
  {"UDP[0].StreamMode", PARAM_INTEGER, CG_UDP_A, 0, 4, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp[0].stream_mode), NULL, NULL},
  {"UDP[1].StreamMode", PARAM_INTEGER, CG_UDP_B, 0, 4, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp[1].stream_mode), NULL, NULL},
  {"UDP[0].Addr", PARAM_CONVERTED, CG_UDP_A, 0, 0, 0, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp[0].addr), param_format_ip, param_parse_ip},
  {"UDP[1].Addr", PARAM_CONVERTED, CG_UDP_B, 0, 0, 0, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp[1].addr), param_format_ip, param_parse_ip},
  {"UDP[0].Port", PARAM_INTEGER, CG_UDP_A, 0, 65535, 1, 2, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp[0].port), NULL, NULL},
  {"UDP[1].Port", PARAM_INTEGER, CG_UDP_B, 0, 65535, 1, 2, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp[1].port), NULL, NULL},
  {"UDP[0].RetryTimeout", PARAM_INTEGER, CG_UDP_A, 0, 1000000, 1, 2, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp[0].retry_timeout), NULL, NULL},
  {"UDP[1].RetryTimeout", PARAM_INTEGER, CG_UDP_B, 0, 1000000, 1, 2, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp[1].retry_timeout), NULL, NULL},
  {"UDP[0].Status", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_NONE, CG_UDP_A, param_format_status, NULL},
  {"UDP[1].Status", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_NONE, CG_UDP_B, param_format_status, NULL},
  {"UDP[0].State", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_STREAM_VIEW, CG_UDP_A, NULL, param_parse_state},
  {"UDP[1].State", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_STREAM_VIEW, CG_UDP_B, NULL, param_parse_state},
  {"UDPPacketSize", PARAM_INTEGER, CG_NONE, 1, 1500, 1, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp_packet_size), NULL, NULL},
  {"UDP_TTL", PARAM_INTEGER, CG_NONE, 1, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp_ttl), NULL, NULL},
  {"UDP_DSCP_ECN", PARAM_INTEGER, CG_NONE, 0, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(udp_dscp_ecn), NULL, NULL},
  {"Video[0].StreamMode", PARAM_INTEGER, CG_VIDEO_A, 0, 16, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].stream_mode), NULL, NULL},
  {"Video[1].StreamMode", PARAM_INTEGER, CG_VIDEO_B, 0, 16, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].stream_mode), NULL, NULL},
  {"Video[0].Width", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, 0, param_format_width, param_parse_width},
  {"Video[1].Width", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, 1, param_format_width, param_parse_width},
  {"Video[0].ScaledWidth", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_NONE, 0, param_format_scaled_width, NULL},
  {"Video[1].ScaledWidth", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_NONE, 1, param_format_scaled_width, NULL},
  {"Video[0].Height", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, 0, param_format_height, param_parse_height},
  {"Video[1].Height", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, 1, param_format_height, param_parse_height},
  {"Video[0].BitRate", PARAM_INTEGER, CG_NONE, 100000, 20000000, 100000, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].bit_rate), NULL, NULL},
  {"Video[1].BitRate", PARAM_INTEGER, CG_NONE, 100000, 20000000, 100000, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].bit_rate), NULL, NULL},
  {"Video[0].RateMode", PARAM_INTEGER, CG_NONE, 0, 6, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].rate_mode), NULL, NULL},
  {"Video[1].RateMode", PARAM_INTEGER, CG_NONE, 0, 6, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].rate_mode), NULL, NULL},
  {"Video[0].Interlaced", PARAM_INTEGER, CG_NONE, 0, 9, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].interlaced), NULL, NULL},
  {"Video[1].Interlaced", PARAM_INTEGER, CG_NONE, 0, 9, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].interlaced), NULL, NULL},
  {"Video[0].Flip", PARAM_INTEGER, CG_NONE, 0, 7, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].flip), NULL, NULL},
  {"Video[1].Flip", PARAM_INTEGER, CG_NONE, 0, 7, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].flip), NULL, NULL},
  {"Video[0].GOPSize", PARAM_INTEGER, CG_NONE, 1, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].gop_size), NULL, NULL},
  {"Video[1].GOPSize", PARAM_INTEGER, CG_NONE, 1, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].gop_size), NULL, NULL},
  {"Video[0].FrameRate", PARAM_CONVERTED, CG_NONE, 0, 0, 0, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].frame_rate), param_format_frame_rate, param_parse_frame_rate},
  {"Video[1].FrameRate", PARAM_CONVERTED, CG_NONE, 0, 0, 0, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].frame_rate), param_format_frame_rate, param_parse_frame_rate},
  {"Video[0].JPEGQuality", PARAM_INTEGER, CG_NONE, 2, 97, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].jpeg_quality), NULL, NULL},
  {"Video[1].JPEGQuality", PARAM_INTEGER, CG_NONE, 2, 97, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].jpeg_quality), NULL, NULL},
  {"Video[0].AspectRatio", PARAM_CONVERTED, CG_VIDEO_A, 0, 0, 0, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].aspect_ratio), param_format_aspect, param_parse_aspect},
  {"Video[1].AspectRatio", PARAM_CONVERTED, CG_VIDEO_B, 0, 0, 0, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].aspect_ratio), param_format_aspect, param_parse_aspect},
  {"Video[0].RTMPAudio", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].rtmp_audio), NULL, NULL},
  {"Video[1].RTMPAudio", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].rtmp_audio), NULL, NULL},
  {"Video[0].H264Level", PARAM_CONVERTED, CG_VIDEO_A, 0, 0, 0, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].h264_level), param_format_u8, param_parse_h264_level},
  {"Video[1].H264Level", PARAM_CONVERTED, CG_VIDEO_B, 0, 0, 0, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].h264_level), param_format_u8, param_parse_h264_level},
  {"Video[0].H264Profile", PARAM_CONVERTED, CG_VIDEO_A, 0, 0, 0, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].h264_profile), param_format_u8, param_parse_h264_profile},
  {"Video[1].H264Profile", PARAM_CONVERTED, CG_VIDEO_B, 0, 0, 0, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].h264_profile), param_format_u8, param_parse_h264_profile},
  {"Video[0].IntraFrameQP", PARAM_INTEGER, CG_VIDEO_A, 0, 51, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].intra_frame_qp), NULL, NULL},
  {"Video[1].IntraFrameQP", PARAM_INTEGER, CG_VIDEO_B, 0, 51, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].intra_frame_qp), NULL, NULL},
  {"Video[0].InterPFrameQP", PARAM_INTEGER, CG_VIDEO_A, 0, 51, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].inter_p_frame_qp), NULL, NULL},
  {"Video[1].InterPFrameQP", PARAM_INTEGER, CG_VIDEO_B, 0, 51, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].inter_p_frame_qp), NULL, NULL},
  {"Video[0].SliceMode", PARAM_INTEGER, CG_NONE, 0, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].slice_mode), NULL, NULL},
  {"Video[1].SliceMode", PARAM_INTEGER, CG_NONE, 0, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].slice_mode), NULL, NULL},
  {"Video[0].OSD.X", PARAM_INTEGER, CG_OSD_A, 0, 1920, 1, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].osd.x), NULL, NULL},
  {"Video[1].OSD.X", PARAM_INTEGER, CG_OSD_B, 0, 1920, 1, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].osd.x), NULL, NULL},
  {"Video[0].OSD.Y", PARAM_INTEGER, CG_OSD_A, 0, 1200, 1, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].osd.y), NULL, NULL},
  {"Video[1].OSD.Y", PARAM_INTEGER, CG_OSD_B, 0, 1200, 1, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].osd.y), NULL, NULL},
  {"Video[0].OSD.Message", PARAM_STRING, CG_NONE, 0, 0, 0, 160, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].osd.message), NULL, NULL},
  {"Video[1].OSD.Message", PARAM_STRING, CG_NONE, 0, 0, 0, 160, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].osd.message), NULL, NULL},
  {"Video[0].OSD.DateFormat", PARAM_INTEGER, CG_NONE, 0, 15, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].osd.date_format), NULL, NULL},
  {"Video[1].OSD.DateFormat", PARAM_INTEGER, CG_NONE, 0, 15, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].osd.date_format), NULL, NULL},
  {"Video[0].OSD.TimeFormat", PARAM_INTEGER, CG_NONE, 0, 6, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].osd.time_format), NULL, NULL},
  {"Video[1].OSD.TimeFormat", PARAM_INTEGER, CG_NONE, 0, 6, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].osd.time_format), NULL, NULL},
  {"Video[0].OSD.Transparent", PARAM_INTEGER, CG_NONE, 0, 7, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].osd.transparent), NULL, NULL},
  {"Video[1].OSD.Transparent", PARAM_INTEGER, CG_NONE, 0, 7, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].osd.transparent), NULL, NULL},
  {"Video[0].OSD.Enabled", PARAM_INTEGER, CG_NONE, 0, 4, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[0].osd.enabled), NULL, NULL},
  {"Video[1].OSD.Enabled", PARAM_INTEGER, CG_NONE, 0, 4, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(video[1].osd.enabled), NULL, NULL},
  {"Video[0].Resolution", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, 1, param_format_resolution, param_parse_resolution},
  {"Video[1].Resolution", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, 2, param_format_resolution, param_parse_resolution},
  {"Audio.VolumeLeft", PARAM_INTEGER, CG_NONE, 0, 119, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(audio.volume_left), NULL, NULL},
  {"Audio.VolumeRight", PARAM_INTEGER, CG_NONE, 0, 119, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(audio.volume_right), NULL, NULL},
  {"Audio.AGCLeft", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(audio.agc_left), NULL, NULL},
  {"Audio.AGCRight", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(audio.agc_right), NULL, NULL},
  {"Audio.Input", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(audio.input), NULL, NULL},
  {"Audio.OutVolumeLeft", PARAM_INTEGER, CG_NONE, 0, 100, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(audio.out_volume_left), NULL, NULL},
  {"Audio.OutVolumeRight", PARAM_INTEGER, CG_NONE, 0, 100, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(audio.out_volume_right), NULL, NULL},
  {"Audio.Channels", PARAM_INTEGER, CG_NONE, 1, 2, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(audio.channels), NULL, NULL},
  {"Audio.MonoMode", PARAM_INTEGER, CG_NONE, 0, 2, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(audio.mono_mode), NULL, NULL},
  {"Audio.BitRate", PARAM_INTEGER, CG_NONE, 32000, 512000, 16000, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(audio.bit_rate), NULL, NULL},
  {"Audio.SampleRate", PARAM_INTEGER, CG_NONE, 44100, 48000, 3900, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(audio.sample_rate), NULL, NULL},
  {"Audio.Mute", PARAM_INTEGER, CG_NONE, 0, 3, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(audio.mute), NULL, NULL},
  {"Capture.Standard", PARAM_CONVERTED, CG_NONE, 0, 0, 0, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(capture.standard), param_format_standard, param_parse_capture_standard},
  {"Capture.Interpolate", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(capture.interpolate), NULL, NULL},
  {"Capture.Brightness", PARAM_INTEGER, CG_CAPTURE, 0, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(capture.brightness), NULL, NULL},
  {"Capture.Saturation", PARAM_INTEGER, CG_CAPTURE, 0, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(capture.saturation), NULL, NULL},
  {"Capture.Hue", PARAM_INTEGER, CG_CAPTURE, -127, 127, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(capture.hue), NULL, NULL},
  {"Capture.Contrast", PARAM_INTEGER, CG_CAPTURE, 0, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(capture.contrast), NULL, NULL},
  {"MotionVectorStream", PARAM_INTEGER, CG_NONE, 0, 2, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(motion_vector_stream), NULL, NULL},
  {"VideoLock", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_NONE, 0, param_format_video_lock, NULL},
  {"VideoCounter", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_STREAM_CONFIG, 0, NULL, param_parse_video_counter},
  {"Capture.Input", PARAM_INTEGER, CG_CAPTURE, 0, 5, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(capture.input), NULL, NULL},
  {"Capture.Resolution", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_NONE, 0, param_format_capture_resolution, NULL},
  {"Privacy_Left", PARAM_INTEGER, CG_CAPTURE, 0, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(privacy_left), NULL, NULL},
  {"Privacy_Top", PARAM_INTEGER, CG_CAPTURE, 0, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(privacy_top), NULL, NULL},
  {"Privacy_Width", PARAM_INTEGER, CG_CAPTURE, 0, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(privacy_width), NULL, NULL},
  {"Privacy_Height", PARAM_INTEGER, CG_CAPTURE, 0, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(privacy_height), NULL, NULL},
  {"Capture_ColorKiller", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(capture_color_killer), NULL, NULL},
  {"Capture_ForceInputMode", PARAM_INTEGER, CG_CAPTURE, 0, 255, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(capture_force_input_mode), NULL, NULL},
  {"Capture_ForceInputMode2", PARAM_INTEGER, CG_CAPTURE, 0, 255, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(capture_force_input_mode2), NULL, NULL},
  {"Capture_DisableFreeRun", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(capture_disable_free_run), NULL, NULL},
  {"Display.StreamFormat", PARAM_INTEGER, CG_DISPLAY_STREAM, 0, 16, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(display.stream_format), NULL, NULL},
  {"Display.StartMode", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(display.start_mode), NULL, NULL},
  {"Display.DisplayMode", PARAM_INTEGER, CG_DISPLAY_MODE, 1, 6, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(display.display_mode), NULL, NULL},
  {"Display.Output", PARAM_INTEGER, CG_DISPLAY_MODE, 0, 2, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(display.output), NULL, NULL},
  {"Display.UDPPort", PARAM_INTEGER, CG_DISPLAY_STREAM, 0, 65535, 1, 2, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(display.udp_port), NULL, NULL},
  {"Display.URL", PARAM_STRING, CG_DISPLAY_STREAM, 0, 0, 0, 80, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(display.url), NULL, NULL},
  {"Display.Standard", PARAM_CONVERTED, CG_NONE, 0, 0, 0, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(display.standard), param_format_standard, param_parse_display_standard},
  {"Display.State", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_STREAM_VIEW, CG_DISPLAY_STREAM, NULL, param_parse_state},
  {"Display.Status", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_NONE, CG_DISPLAY_STREAM, param_format_status, NULL},
  {"Display.OSD.X", PARAM_INTEGER, CG_OSD_DISPLAY, 0, 1920, 1, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(display_osd.x), NULL, NULL},
  {"Display.OSD.Y", PARAM_INTEGER, CG_OSD_DISPLAY, 0, 1200, 1, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(display_osd.y), NULL, NULL},
  {"Display.OSD.Message", PARAM_STRING, CG_OSD_DISPLAY, 0, 0, 0, 160, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(display_osd.message), NULL, NULL},
  {"Display.OSD.DateFormat", PARAM_INTEGER, CG_OSD_DISPLAY, 0, 15, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(display_osd.date_format), NULL, NULL},
  {"Display.OSD.TimeFormat", PARAM_INTEGER, CG_OSD_DISPLAY, 0, 6, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(display_osd.time_format), NULL, NULL},
  {"Display.OSD.Transparent", PARAM_INTEGER, CG_OSD_DISPLAY, 0, 3, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(display_osd.transparent), NULL, NULL},
  {"Display.OSD.Enabled", PARAM_INTEGER, CG_OSD_DISPLAY, 0, 4, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(display_osd.enabled), NULL, NULL},
  {"Display.Colorbars", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, 0, param_format_colorbars, param_parse_colorbars},
  {"Display.Passthru", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, 0, param_format_passthru, param_parse_passthru},
  {"User[0].Name", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(users[0].name), NULL, NULL},
  {"User[1].Name", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(users[1].name), NULL, NULL},
  {"User[2].Name", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(users[2].name), NULL, NULL},
  {"User[3].Name", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(users[3].name), NULL, NULL},
  {"User[4].Name", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(users[4].name), NULL, NULL},
  {"User[5].Name", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(users[5].name), NULL, NULL},
  {"User[6].Name", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(users[6].name), NULL, NULL},
  {"User[7].Name", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(users[7].name), NULL, NULL},
  {"User[8].Name", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(users[8].name), NULL, NULL},
  {"User[9].Name", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(users[9].name), NULL, NULL},
  {"User[0].Permission", PARAM_INTEGER, CG_USERS, 1, 5, 1, 4, PERM_ADMIN, PERM_ADMIN, PF(users[0].permission), NULL, NULL},
  {"User[1].Permission", PARAM_INTEGER, CG_USERS, 1, 5, 1, 4, PERM_ADMIN, PERM_ADMIN, PF(users[1].permission), NULL, NULL},
  {"User[2].Permission", PARAM_INTEGER, CG_USERS, 1, 5, 1, 4, PERM_ADMIN, PERM_ADMIN, PF(users[2].permission), NULL, NULL},
  {"User[3].Permission", PARAM_INTEGER, CG_USERS, 1, 5, 1, 4, PERM_ADMIN, PERM_ADMIN, PF(users[3].permission), NULL, NULL},
  {"User[4].Permission", PARAM_INTEGER, CG_USERS, 1, 5, 1, 4, PERM_ADMIN, PERM_ADMIN, PF(users[4].permission), NULL, NULL},
  {"User[5].Permission", PARAM_INTEGER, CG_USERS, 1, 5, 1, 4, PERM_ADMIN, PERM_ADMIN, PF(users[5].permission), NULL, NULL},
  {"User[6].Permission", PARAM_INTEGER, CG_USERS, 1, 5, 1, 4, PERM_ADMIN, PERM_ADMIN, PF(users[6].permission), NULL, NULL},
  {"User[7].Permission", PARAM_INTEGER, CG_USERS, 0, 5, 1, 4, PERM_ADMIN, PERM_ADMIN, PF(users[7].permission), NULL, NULL},
  {"User[8].Permission", PARAM_INTEGER, CG_USERS, 1, 5, 1, 4, PERM_ADMIN, PERM_ADMIN, PF(users[8].permission), NULL, NULL},
  {"User[9].Permission", PARAM_INTEGER, CG_USERS, 1, 5, 1, 4, PERM_ADMIN, PERM_ADMIN, PF(users[9].permission), NULL, NULL},
  {"GuestPermission", PARAM_INTEGER, CG_USERS, 0, 6, 1, 4, PERM_ADMIN, PERM_ADMIN, PF(guest_permission), NULL, NULL},
  {"User[0].Delete", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 0, NULL, param_parse_user_delete},
  {"User[1].Delete", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 1, NULL, param_parse_user_delete},
  {"User[2].Delete", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 2, NULL, param_parse_user_delete},
  {"User[3].Delete", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 3, NULL, param_parse_user_delete},
  {"User[4].Delete", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 4, NULL, param_parse_user_delete},
  {"User[5].Delete", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 5, NULL, param_parse_user_delete},
  {"User[6].Delete", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 6, NULL, param_parse_user_delete},
  {"User[7].Delete", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 7, NULL, param_parse_user_delete},
  {"User[8].Delete", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 8, NULL, param_parse_user_delete},
  {"User[9].Delete", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 9, NULL, param_parse_user_delete},
  {"User[0].Password", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 0, NULL, param_parse_user_password},
  {"User[1].Password", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 1, NULL, param_parse_user_password},
  {"User[2].Password", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 2, NULL, param_parse_user_password},
  {"User[3].Password", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 3, NULL, param_parse_user_password},
  {"User[4].Password", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 4, NULL, param_parse_user_password},
  {"User[5].Password", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 5, NULL, param_parse_user_password},
  {"User[6].Password", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 6, NULL, param_parse_user_password},
  {"User[7].Password", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 7, NULL, param_parse_user_password},
  {"User[8].Password", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 8, NULL, param_parse_user_password},
  {"User[9].Password", PARAM_VIRTUAL, CG_USERS, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 9, NULL, param_parse_user_password},
  {"RTMP[0].StartMode", PARAM_INTEGER, CG_RTMP_A, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(rtmp[0].start_mode), NULL, NULL},
  {"RTMP[1].StartMode", PARAM_INTEGER, CG_RTMP_B, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(rtmp[1].start_mode), NULL, NULL},
  {"RTMP[0].URL", PARAM_STRING, CG_NONE, 0, 0, 0, 80, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(rtmp[0].url), NULL, NULL},
  {"RTMP[1].URL", PARAM_STRING, CG_NONE, 0, 0, 0, 80, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(rtmp[1].url), NULL, NULL},
  {"GPIO.in", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_CONTROL, PERM_NONE, 0, param_format_gpio_in, NULL},
  {"GPIO.out", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_CONTROL, PERM_STREAM_CONTROL, 0, param_format_gpio_out, param_parse_gpio_out},
  {"Clock", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_ADMIN, PERM_ADMIN, 0, param_format_clock, param_parse_clock},
  {"FirmwareVersion", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_ADMIN, PERM_NONE, 0, param_format_firmware_version, NULL},
  {"FirmwareBuild", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_ADMIN, PERM_NONE, 0, param_format_firmware_build, NULL},
  {"BootloaderVersion", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_ADMIN, PERM_NONE, 0, param_format_bootloader_version, NULL},
  {"FirmwareStatus", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_ADMIN, PERM_NONE, 0, param_format_firmware_status, NULL},
  {"SerialNumber", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_ADMIN, PERM_ADMIN, 0, param_format_serial_number, param_parse_serial_number},
  {"CPULoad", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_NONE, 0, param_format_cpu_load, NULL},
  {"DebugAddr", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_ADMIN, PERM_ADMIN, 0, param_format_debug_addr, param_parse_debug_addr},
  {"DebugData", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_ADMIN, PERM_ADMIN, 0, param_format_debug_data, param_parse_debug_data},
  {"Recording.Filename", PARAM_STRING, CG_NONE, 0, 0, 0, 80, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(recording.filename), NULL, NULL},
  {"Recording.Source", PARAM_INTEGER, CG_RECORDING, 1, 2, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(recording.source), NULL, NULL},
  {"Recording.StartMode", PARAM_INTEGER, CG_RECORDING, 0, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(recording.start_mode), NULL, NULL},
  {"Recording.Format", PARAM_INTEGER, CG_RECORDING, 0, 3, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(recording.format), NULL, NULL},
  {"Recording.DurationMode", PARAM_INTEGER, CG_RECORDING, 0, 5, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(recording.duration_mode), NULL, NULL},
  {"Recording.Duration", PARAM_INTEGER, CG_RECORDING, 0, 2147483647, 1, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(recording.duration), NULL, NULL},
  {"Recording.Segments", PARAM_INTEGER, CG_RECORDING, 1, 2147483647, 1, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(recording.segments), NULL, NULL},
  {"Recording.Status", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_NONE, CG_RECORDING, param_format_status, NULL},
  {"Recording.State", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_STREAM_CONTROL, CG_RECORDING, NULL, param_parse_state},
  {"Recording.Storage", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_NONE, CG_RECORDING, param_format_recording_storage, NULL},
  {"Recording.Directory", PARAM_STRING, CG_NONE, 0, 0, 0, 32, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(recording.directory), NULL, param_parse_dir_name},
  {"Recording.StorageDevice", PARAM_INTEGER, CG_NONE, 0, 4, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(recording.storage_device), NULL, NULL},
  {"Recording.SeekAmount", PARAM_INTEGER, CG_NONE, 0, 255, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(recording.seek_amount), NULL, NULL},
  {"Recording.MuteAtStart", PARAM_INTEGER, CG_NONE, 0, 2, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(recording.mute_at_start), NULL, NULL},
  {"Serial.BaudRate", PARAM_INTEGER, CG_SERIAL, 50, 4000000, 1, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(serial.baud_rate), NULL, NULL},
  {"Serial.Interval", PARAM_INTEGER, CG_SERIAL, 1, 1000000, 1, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(serial.interval), NULL, NULL},
  {"Serial.StreamID", PARAM_INTEGER, CG_SERIAL, 1, 9, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(serial.stream_id), NULL, NULL},
  {"Serial.StartMode", PARAM_INTEGER, CG_SERIAL, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(serial.start_mode), NULL, NULL},
  {"Serial.Status", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_STREAM_VIEW, PERM_NONE, CG_SERIAL, param_format_status, NULL},
  {"Serial.State", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_STREAM_CONTROL, CG_SERIAL, NULL, param_parse_state},
  {"Serial.TCPPort", PARAM_INTEGER, CG_SERIAL, 0, 65535, 1, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(serial.tcp_port), NULL, NULL},
  {"Serial_TCPAddr", PARAM_CONVERTED, CG_SERIAL, 0, 0, 0, 4, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(serial_tcp_addr), param_format_ip, param_parse_ip},
  {"Serial_Parity", PARAM_INTEGER, CG_SERIAL, 0, 4, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(serial_parity), NULL, NULL},
  {"Timestamp", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 0, NULL, param_parse_timestamp},
  {"Timestamp", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_ADMIN, PERM_NONE, 0, param_format_timestamp, NULL},
  {"Reboot", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 0, NULL, param_parse_reboot},
  {"CustomClear", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 0, NULL, param_parse_custom_clear},
  {"Keys.Map[0]", PARAM_INTEGER, CG_NONE, 0, 20, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(keys_map[0]), NULL, NULL},
  {"Keys.Map[1]", PARAM_INTEGER, CG_NONE, 0, 20, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(keys_map[1]), NULL, NULL},
  {"Keys.Map[2]", PARAM_INTEGER, CG_NONE, 0, 20, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(keys_map[2]), NULL, NULL},
  {"Keys.Map[3]", PARAM_INTEGER, CG_NONE, 0, 20, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(keys_map[3]), NULL, NULL},
  {"Keys.Map[4]", PARAM_INTEGER, CG_NONE, 0, 20, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(keys_map[4]), NULL, NULL},
  {"Keys.Map[5]", PARAM_INTEGER, CG_NONE, 0, 20, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(keys_map[5]), NULL, NULL},
  {"Keys.Map[6]", PARAM_INTEGER, CG_NONE, 0, 20, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(keys_map[6]), NULL, NULL},
  {"Keys.Map[7]", PARAM_INTEGER, CG_NONE, 0, 20, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(keys_map[7]), NULL, NULL},
  {"Keys.Map[8]", PARAM_INTEGER, CG_NONE, 0, 20, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(keys_map[8]), NULL, NULL},
  {"Keys.MenuBackOption", PARAM_INTEGER, CG_NONE, 0, 2, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(keys_menu_back_option), NULL, NULL},
  {"DVR.SplashScreenTime", PARAM_INTEGER, CG_NONE, 0, 255, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_splash_screen_time), NULL, NULL},
  {"DVR.OverlayText[0]", PARAM_STRING, CG_NONE, 0, 0, 0, 40, PERM_ADMIN, PERM_ADMIN, PF(dvr_overlay_text[0]), NULL, NULL},
  {"DVR.OverlayText[1]", PARAM_STRING, CG_NONE, 0, 0, 0, 40, PERM_ADMIN, PERM_ADMIN, PF(dvr_overlay_text[1]), NULL, NULL},
  {"DVR.OverlayText[2]", PARAM_STRING, CG_NONE, 0, 0, 0, 40, PERM_ADMIN, PERM_ADMIN, PF(dvr_overlay_text[2]), NULL, NULL},
  {"DVR.OverlayText[3]", PARAM_STRING, CG_NONE, 0, 0, 0, 40, PERM_ADMIN, PERM_ADMIN, PF(dvr_overlay_text[3]), NULL, NULL},
  {"DVR.OverlayText[4]", PARAM_STRING, CG_NONE, 0, 0, 0, 40, PERM_ADMIN, PERM_ADMIN, PF(dvr_overlay_text[4]), NULL, NULL},
  {"DVR_DisableExtPorts", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_disable_ext_ports), NULL, NULL},
  {"DVR_DisableExtConfig", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_disable_ext_config), NULL, NULL},
  {"DVR_Language", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(dvr_language), NULL, NULL},
  {"DVR_SnapshotDuration", PARAM_INTEGER, CG_NONE, 0, 3, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_snapshot_duration), NULL, NULL},
  {"DVR_HideParamsMenu", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_hide_params_menu), NULL, NULL},
  {"KeyPress", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_ADMIN, 0, NULL, param_parse_key_press},
  {"DVR_SnapshotOverlayDisable", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_snapshot_overlay_disable), NULL, NULL},
  {"DVR_RecordingShow", PARAM_INTEGER, CG_NONE, 0, 7, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_recording_show), NULL, NULL},
  {"DVR_StatusX", PARAM_INTEGER, CG_NONE, 5, 1915, 1, 2, PERM_ADMIN, PERM_ADMIN, PF(dvr_status_x), NULL, NULL},
  {"DVR_StatusY", PARAM_INTEGER, CG_NONE, 5, 1195, 1, 2, PERM_ADMIN, PERM_ADMIN, PF(dvr_status_y), NULL, NULL},
  {"DVR_PAL_StatusX", PARAM_INTEGER, CG_NONE, 5, 1915, 1, 2, PERM_ADMIN, PERM_ADMIN, PF(dvr_pal_status_x), NULL, NULL},
  {"DVR_PAL_StatusY", PARAM_INTEGER, CG_NONE, 5, 1195, 1, 2, PERM_ADMIN, PERM_ADMIN, PF(dvr_pal_status_y), NULL, NULL},
  {"DVR_MenuAlpha", PARAM_INTEGER, CG_NONE, 0, 7, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_menu_alpha), NULL, NULL},
  {"DVR_StatusIcons", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_status_icons), NULL, NULL},
  {"DVR_Copy_or_Move", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_copy_or_move), NULL, NULL},
  {"DVR_Esc_disabled", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_esc_disabled), NULL, NULL},
  {"DVR_AudioPassthru", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_audio_passthru), NULL, NULL},
  {"DVR_GroupSelect", PARAM_INTEGER, CG_NONE, 0, 2, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_group_select), NULL, NULL},
  {"DVR_AudioCfg", PARAM_INTEGER, CG_NONE, 0, 4, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_audio_cfg), NULL, NULL},
  {"DVR_DisableOverlayOnBoot", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_disable_overlay_on_boot), NULL, NULL},
  {"DVR_PrimaryOverlayFontSize", PARAM_INTEGER, CG_NONE, 1, 4, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_primary_overlay_font_size), NULL, NULL},
  {"DVR_KeyboardLayout", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_keyboard_layout), NULL, NULL},
  {"DVR_MenuTextSize", PARAM_INTEGER, CG_NONE, 0, 4, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_menu_text_size), NULL, NULL},
  {"DVR_SecondaryOverlay[0].font", PARAM_INTEGER, CG_NONE, 1, 4, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[0].font), NULL, NULL},
  {"DVR_SecondaryOverlay[1].font", PARAM_INTEGER, CG_NONE, 1, 4, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[1].font), NULL, NULL},
  {"DVR_SecondaryOverlay[2].font", PARAM_INTEGER, CG_NONE, 1, 4, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[2].font), NULL, NULL},
  {"DVR_SecondaryOverlay[3].font", PARAM_INTEGER, CG_NONE, 1, 4, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[3].font), NULL, NULL},
  {"DVR_SecondaryOverlay[0].background", PARAM_INTEGER, CG_NONE, 0, 7, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[0].background), NULL, NULL},
  {"DVR_SecondaryOverlay[1].background", PARAM_INTEGER, CG_NONE, 0, 7, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[1].background), NULL, NULL},
  {"DVR_SecondaryOverlay[2].background", PARAM_INTEGER, CG_NONE, 0, 7, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[2].background), NULL, NULL},
  {"DVR_SecondaryOverlay[3].background", PARAM_INTEGER, CG_NONE, 0, 7, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[3].background), NULL, NULL},
  {"DVR_SecondaryOverlay[0].x", PARAM_INTEGER, CG_NONE, 0, 1920, 1, 2, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[0].x), NULL, NULL},
  {"DVR_SecondaryOverlay[1].x", PARAM_INTEGER, CG_NONE, 0, 1920, 1, 2, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[1].x), NULL, NULL},
  {"DVR_SecondaryOverlay[2].x", PARAM_INTEGER, CG_NONE, 0, 1920, 1, 2, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[2].x), NULL, NULL},
  {"DVR_SecondaryOverlay[3].x", PARAM_INTEGER, CG_NONE, 0, 1920, 1, 2, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[3].x), NULL, NULL},
  {"DVR_SecondaryOverlay[0].y", PARAM_INTEGER, CG_NONE, 0, 1080, 1, 2, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[0].y), NULL, NULL},
  {"DVR_SecondaryOverlay[1].y", PARAM_INTEGER, CG_NONE, 0, 1080, 1, 2, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[1].y), NULL, NULL},
  {"DVR_SecondaryOverlay[2].y", PARAM_INTEGER, CG_NONE, 0, 1080, 1, 2, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[2].y), NULL, NULL},
  {"DVR_SecondaryOverlay[3].y", PARAM_INTEGER, CG_NONE, 0, 1080, 1, 2, PERM_ADMIN, PERM_ADMIN, PF(dvr_secondary_overlay[3].y), NULL, NULL},
  {"DVR_AllowModes", PARAM_INTEGER, CG_DISPLAY_MODE, 0, -1, 1, 4, PERM_ADMIN, PERM_ADMIN, PF(dvr_allow_modes), NULL, NULL},
  {"Encoder[0].ScaleFactor[0]", PARAM_FLOAT, CG_NONE, PARAM_F_NEG_MAX, PARAM_F_MAX, 0x00000001, 4, PERM_ADMIN, PERM_ADMIN, PF(encoder[0].scale_factor[0]), NULL, NULL},
  {"Encoder[0].ScaleFactor[1]", PARAM_FLOAT, CG_NONE, PARAM_F_NEG_MAX, PARAM_F_MAX, 0x00000001, 4, PERM_ADMIN, PERM_ADMIN, PF(encoder[0].scale_factor[1]), NULL, NULL},
  {"Encoder[1].ScaleFactor[0]", PARAM_FLOAT, CG_NONE, PARAM_F_NEG_MAX, PARAM_F_MAX, 0x00000001, 4, PERM_ADMIN, PERM_ADMIN, PF(encoder[1].scale_factor[0]), NULL, NULL},
  {"Encoder[1].ScaleFactor[1]", PARAM_FLOAT, CG_NONE, PARAM_F_NEG_MAX, PARAM_F_MAX, 0x00000001, 4, PERM_ADMIN, PERM_ADMIN, PF(encoder[1].scale_factor[1]), NULL, NULL},
  {"Encoder[0].ScaleLabel[0]", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(encoder[0].scale_label[0]), NULL, NULL},
  {"Encoder[0].ScaleLabel[1]", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(encoder[0].scale_label[1]), NULL, NULL},
  {"Encoder[1].ScaleLabel[0]", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(encoder[1].scale_label[0]), NULL, NULL},
  {"Encoder[1].ScaleLabel[1]", PARAM_STRING, CG_NONE, 0, 0, 0, 20, PERM_ADMIN, PERM_ADMIN, PF(encoder[1].scale_label[1]), NULL, NULL},
  {"Encoder[0].ScaleSelect", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(encoder[0].scale_select), NULL, NULL},
  {"Encoder[1].ScaleSelect", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(encoder[1].scale_select), NULL, NULL},
  {"Encoder[0].ScaleConversionFactor", PARAM_FLOAT, CG_NONE, 0, PARAM_F_MAX, 0x00000001, 4, PERM_ADMIN, PERM_ADMIN, PF(encoder[0].scale_conversion_factor), NULL, NULL},
  {"Encoder[1].ScaleConversionFactor", PARAM_FLOAT, CG_NONE, 0, PARAM_F_MAX, 0x00000001, 4, PERM_ADMIN, PERM_ADMIN, PF(encoder[1].scale_conversion_factor), NULL, NULL},
  {"Encoder[0].Count", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_ADMIN, PERM_ADMIN, 0, param_format_encoder_count, param_parse_encoder_count},
  {"Encoder[1].Count", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_ADMIN, PERM_ADMIN, 1, param_format_encoder_count, param_parse_encoder_count},
  {"WIFI.Ssid", PARAM_STRING, CG_NETWORK, 0, 0, 0, 40, PERM_ADMIN, PERM_ADMIN, PF(wifi_ssid), NULL, NULL},
  {"WIFI.Security", PARAM_INTEGER, CG_NETWORK, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(wifi_security), NULL, NULL},
  {"WIFI.Password", PARAM_STRING, CG_NETWORK, 0, 0, 0, 40, PERM_ADMIN, PERM_ADMIN, PF(wifi_password), NULL, NULL},
  {"WIFI.Channel", PARAM_INTEGER, CG_NETWORK, 0, 11, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(wifi_channel), NULL, NULL},
  {"WIFI.Ping", PARAM_INTEGER, CG_NETWORK, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(wifi_ping), NULL, NULL},
  {"DeveloperMode", PARAM_INTEGER, CG_NONE, 0, 1, 1, 1, PERM_ADMIN, PERM_ADMIN, PF(developer_mode), NULL, NULL},
  {"RTSP_Disable", PARAM_INTEGER, CG_RTSP, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(rtsp_disable), NULL, NULL},
  {"RTSP_Port", PARAM_INTEGER, CG_RTSP, 100, 65535, 1, 2, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(rtsp_port), NULL, NULL},
  {"RTSP_DisableAuth", PARAM_INTEGER, CG_RTSP, 0, 1, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(rtsp_disable_auth), NULL, NULL},
  {"RTSP_CustomStreamName", PARAM_STRING, CG_RTSP, 0, 0, 0, 32, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(rtsp_custom_stream_name), NULL, NULL},
  {"RTSP_CustomStreamMode", PARAM_INTEGER, CG_RTSP, 0, 5, 1, 1, PERM_STREAM_VIEW, PERM_STREAM_CONFIG, PF(rtsp_custom_stream_mode), NULL, NULL},
  {"BoardModel", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_NONE, 0, param_format_board_model, NULL},
  {"latency_ts_a", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_NONE, 0, param_format_latency, NULL},
  {"latency_ts_b", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_NONE, 1, param_format_latency, NULL},
  {"latency_rtsp_a", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_NONE, 2, param_format_latency, NULL},
  {"latency_rtsp_b", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_NONE, 3, param_format_latency, NULL},
  {"CustomZipSize", PARAM_VIRTUAL, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_NONE, 0, param_format_custom_zip_size, NULL},
  {NULL, PARAM_STRING, CG_NONE, 0, 0, 0, 0, PERM_NONE, PERM_NONE, 0, NULL, NULL},
};

namespace {

void set_text(char *field, size_t size, const char *text) {
  strncpy(field, text, size - 1);
  field[size - 1] = 0;
}

void set_ip(uint8_t *field, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  field[0] = a;
  field[1] = b;
  field[2] = c;
  field[3] = d;
}

ParamBlock build_defaults(void) {
  ParamBlock b;
  memset(&b, 0, sizeof b);
  b.size = PARAM_BLOCK_SIZE;
  b.wifi_enable = 1;
  b.gpio_in_trig_level = 1;
  b.network_mode = 1;
  set_ip(b.net[0].addr, 192, 168, 0, 100);
  set_ip(b.net[1].addr, 10, 0, 0, 100);
  set_ip(b.net[0].mask, 255, 255, 0, 0);
  set_ip(b.net[1].mask, 255, 0, 0, 0);
  set_ip(b.net[0].gateway, 192, 168, 0, 100);
  b.udp[0].stream_id = 1;
  b.udp[1].stream_id = 2;
  set_ip(b.udp[0].addr, 192, 168, 0, 0);
  set_ip(b.udp[1].addr, 192, 168, 0, 0);
  b.udp[0].port = 1234;
  b.udp[1].port = 1235;
  b.udp_packet_size = 1460;
  b.udp_ttl = 64;
  b.video[1].stream_mode = 3;
  b.video[0].bit_rate = 5000000;
  b.video[1].bit_rate = 2000000;
  b.video[0].interlaced = 1;
  b.video[0].gop_size = 30;
  b.video[1].gop_size = 30;
  b.video[0].frame_rate = 1;
  b.video[1].frame_rate = 1;
  b.video[0].jpeg_quality = 90;
  b.video[1].jpeg_quality = 90;
  b.video[0].rtmp_audio = 1;
  b.video[1].rtmp_audio = 1;
  b.video[0].h264_level = 40;
  b.video[1].h264_level = 40;
  b.video[0].h264_profile = 100;
  b.video[1].h264_profile = 100;
  b.video[0].intra_frame_qp = 23;
  b.video[1].intra_frame_qp = 23;
  b.video[0].inter_p_frame_qp = 23;
  b.video[1].inter_p_frame_qp = 23;
  b.audio.input = 1;
  b.audio.out_volume_left = 100;
  b.audio.out_volume_right = 100;
  b.audio.channels = 1;
  b.audio.mono_mode = 1;
  b.audio.bit_rate = 192000;
  b.audio.sample_rate = 48000;
  b.capture.brightness = 128;
  b.capture.saturation = 128;
  b.capture.contrast = 128;
  b.display.display_mode = 1;
  b.display.output = 2;
  b.users[0].permission = 5;
  b.users[1].permission = 5;
  b.users[2].permission = 5;
  b.users[3].permission = 5;
  b.users[4].permission = 5;
  b.users[5].permission = 5;
  b.users[6].permission = 5;
  b.users[7].permission = 5;
  b.users[8].permission = 5;
  b.users[9].permission = 5;
  b.guest_permission = 5;
  b.recording.source = 1;
  b.recording.segments = 1;
  b.recording.seek_amount = 10;
  b.serial.baud_rate = 115200;
  b.serial.interval = 1000;
  b.serial.stream_id = 1;
  b.keys_map[1] = 1;
  b.keys_map[2] = 2;
  b.keys_map[3] = 3;
  b.keys_map[4] = 4;
  b.keys_map[5] = 13;
  b.keys_map[6] = 5;
  b.keys_map[7] = 13;
  b.keys_map[8] = 13;
  b.dvr_splash_screen_time = 5;
  b.dvr_recording_show = 4;
  b.dvr_status_x = 50;
  b.dvr_status_y = 50;
  b.dvr_pal_status_x = 50;
  b.dvr_pal_status_y = 50;
  b.dvr_menu_alpha = 6;
  b.dvr_primary_overlay_font_size = 2;
  b.dvr_secondary_overlay[0].font = 2;
  b.dvr_secondary_overlay[1].font = 2;
  b.dvr_secondary_overlay[2].font = 2;
  b.dvr_secondary_overlay[3].font = 2;
  b.dvr_secondary_overlay[0].x = 150;
  b.dvr_secondary_overlay[1].x = 150;
  b.dvr_secondary_overlay[2].x = 150;
  b.dvr_secondary_overlay[3].x = 150;
  b.dvr_secondary_overlay[0].y = 100;
  b.dvr_secondary_overlay[1].y = 100;
  b.dvr_secondary_overlay[2].y = 100;
  b.dvr_secondary_overlay[3].y = 100;
  b.encoder[0].scale_factor[0] = 1.0f;
  b.encoder[0].scale_factor[1] = 1.0f;
  b.encoder[1].scale_factor[0] = 1.0f;
  b.encoder[1].scale_factor[1] = 1.0f;
  set_text(b.encoder[0].scale_label[0], sizeof b.encoder[0].scale_label[0], "meters");
  set_text(b.encoder[0].scale_label[1], sizeof b.encoder[0].scale_label[1], "feet");
  set_text(b.encoder[1].scale_label[0], sizeof b.encoder[1].scale_label[0], "meters");
  set_text(b.encoder[1].scale_label[1], sizeof b.encoder[1].scale_label[1], "feet");
  b.encoder[0].scale_conversion_factor = 3.2808399200439453f;
  b.encoder[1].scale_conversion_factor = 3.2808399200439453f;
  set_text(b.wifi_ssid, sizeof b.wifi_ssid, "7391");
  b.wifi_channel = 6;
  b.rtsp_port = 554;
  return b;
}

}  // namespace

const ParamBlock *param_default_block(void) {
  static const ParamBlock defaults = build_defaults();
  return &defaults;
}

int param_index(const char *name) {
  if (!name) return -1;
  for (int i = 0; paramTable[i].name; i++)
    if (strcasecmp(paramTable[i].name, name) == 0) return i;
  return -1;
}

const ParamDesc *param_find(const char *name) {
  int i = param_index(name);
  return i < 0 ? NULL : &paramTable[i];
}

const char *param_name_by_index(int n) {
  if (n < 0 || n >= PARAM_ROW_COUNT) return NULL;
  return paramTable[n].name;
}

int param_is_virtual(int n) {
  if (n < 0 || n >= PARAM_ROW_COUNT) return 0;
  return paramTable[n].type == PARAM_VIRTUAL;
}

void *param_field(ParamBlock *block, const ParamDesc *d) {
  return reinterpret_cast<uint8_t *>(block) + d->offset;
}

int param_get_range(const char *name, int32_t *min, int32_t *max, int32_t *step) {
  const ParamDesc *d = param_find(name);
  if (!d) return -1;
  if (min) *min = d->min;
  if (max) *max = d->max;
  if (step) *step = d->step;
  return 0;
}

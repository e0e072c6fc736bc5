// The packed binary record holding every setting. Its layout is the format of
// the parameter slots in flash: fields never move; new fields take reserved
// bytes or grow the block (older sizes are converted at load).
#pragma once
#include <cstddef>
#include <cstdint>

#define PARAM_BLOCK_SIZE 2236u
#define PARAM_USER_COUNT 10

#pragma pack(push, 1)

// A text overlay's configuration; three of them live in the block (channel A,
// channel B, the display).
struct OsdTextConfig {
  uint8_t enabled;        // 0 off, 1-4 font size
  uint8_t transparent;
  uint8_t date_format;
  uint8_t time_format;
  uint32_t x;
  uint32_t y;
  char message[160];
};

// IPv4 addresses are kept in network byte order, first octet first.
struct NetParams {
  uint8_t addr[4];
  uint8_t mask[4];
  uint8_t gateway[4];
  uint8_t dns1[4];
  uint8_t dns2[4];
};

struct UdpParams {
  uint8_t stream_id;
  uint8_t start_mode;
  uint8_t stream_mode;
  uint8_t reserved;
  uint8_t addr[4];
  uint16_t port;
  uint16_t retry_timeout;
};

struct VideoChannelParams {
  uint16_t width;          // 0 = the capture size
  uint16_t height;
  uint32_t bit_rate;
  uint8_t stream_mode;
  uint8_t flip;
  uint8_t gop_size;
  uint8_t frame_rate;      // capture-rate divider; 0 counts as 1
  uint8_t jpeg_quality;
  uint8_t aspect_ratio;
  uint8_t rate_mode;
  uint8_t interlaced;
  uint8_t intra_frame_qp;
  uint8_t inter_p_frame_qp;
  uint8_t reserved_18;
  uint8_t h264_level;
  uint8_t h264_profile;
  uint8_t rtmp_audio;
  uint8_t slice_mode;
  uint8_t reserved_23[9];
  OsdTextConfig osd;
};

struct AudioParams {
  uint8_t volume_left;
  uint8_t volume_right;
  uint8_t agc_left;
  uint8_t agc_right;
  uint8_t input;
  uint8_t out_volume_left;
  uint8_t out_volume_right;
  uint8_t channels;
  uint8_t mono_mode;
  uint8_t reserved_9[3];
  uint32_t bit_rate;
  uint32_t sample_rate;
  uint8_t mute;
  uint8_t reserved_21[3];
};

struct CaptureParams {
  uint8_t standard;
  uint8_t interpolate;
  uint8_t brightness;
  uint8_t saturation;
  int8_t hue;
  uint8_t contrast;
  uint8_t input;
  uint8_t reserved_7;
};

struct DisplayParams {
  uint8_t standard;
  uint8_t display_mode;
  uint8_t output;
  uint8_t reserved_3;
  uint16_t udp_port;
  uint8_t stream_format;
  uint8_t start_mode;
  char url[80];
};

struct UserRecord {
  char name[20];           // empty: unused entry
  uint32_t permission;     // PermissionLevel
  char password[20];
};

struct RtmpParams {
  uint8_t start_mode;
  char url[80];
};

struct RecordingParams {
  char filename[80];
  uint32_t segments;
  uint32_t duration;
  uint8_t source;
  uint8_t duration_mode;
  uint8_t start_mode;
  uint8_t format;
  char directory[32];
  uint8_t storage_device;
  uint8_t seek_amount;
  uint8_t mute_at_start;
  uint8_t reserved_127;
};

struct SerialParams {
  uint32_t baud_rate;
  uint32_t interval;
  uint8_t start_mode;
  uint8_t stream_id;
  uint8_t reserved_10[2];
  uint32_t tcp_port;
};

struct EncoderParams {
  float scale_factor[2];
  char scale_label[2][20];
  uint8_t scale_select;
  uint8_t reserved_49[3];
  float scale_conversion_factor;
};

struct SecondaryOverlayParams {
  uint8_t font;
  uint8_t background;
  uint16_t x;
  uint16_t y;
};

struct ParamBlock {
  uint32_t size;           // bytes of the block (PARAM_BLOCK_SIZE)
  uint32_t crc;            // CRC-32/MPEG-2 over size bytes, this field taken as 0
  uint32_t counter;        // incremented by every save
  uint8_t gpio_alarm_enabled;
  uint8_t gpio_in_trig_level;
  uint8_t gpio_out_default;
  uint8_t reserved_15;
  uint32_t alarm_timeout;
  uint8_t vlock_alarm_enabled;
  uint8_t vlock_threshold;
  uint8_t mac_addr[6];
  uint8_t network_mode;    // 0 none, else Net[network_mode - 1]
  char hostname[20];
  uint8_t reserved_49[3];
  NetParams net[2];
  UdpParams udp[2];
  uint32_t udp_packet_size;
  VideoChannelParams video[2];
  AudioParams audio;
  CaptureParams capture;
  DisplayParams display;
  OsdTextConfig display_osd;
  UserRecord users[PARAM_USER_COUNT];
  uint32_t guest_permission;
  uint8_t motion_vector_stream;
  RtmpParams rtmp[2];
  uint8_t reserved_1427[41];
  RecordingParams recording;
  SerialParams serial;
  uint8_t keys_map[9];
  uint8_t keys_menu_back_option;
  uint8_t reserved_1622[2];
  EncoderParams encoder[2];
  uint8_t dvr_splash_screen_time;
  char dvr_overlay_text[5][40];
  uint8_t reserved_1937;
  char wifi_ssid[40];
  uint8_t wifi_security;
  char wifi_password[40];
  uint8_t wifi_channel;
  uint8_t wifi_ping;
  uint8_t wifi_enable;     // no row: switched by the menu
  uint8_t dvr_disable_ext_ports;
  char dvr_language[20];
  uint8_t dvr_snapshot_duration;
  uint8_t dvr_hide_params_menu;
  uint8_t developer_mode;
  uint8_t dvr_snapshot_overlay_disable;
  uint8_t udp_ttl;
  uint8_t udp_dscp_ecn;
  uint8_t dvr_recording_show;
  uint16_t dvr_status_x;
  uint16_t dvr_status_y;
  uint16_t dvr_pal_status_x;
  uint16_t dvr_pal_status_y;
  uint8_t dvr_menu_alpha;
  uint8_t dvr_status_icons;
  uint8_t serial_tcp_addr[4];
  uint8_t dvr_copy_or_move;
  uint8_t dvr_esc_disabled;
  uint8_t dvr_audio_passthru;
  uint8_t dvr_group_select;
  uint8_t rtsp_disable;
  uint8_t reserved_2069;
  uint16_t rtsp_port;
  char network_time_server[80];
  uint8_t dvr_audio_cfg;
  uint8_t privacy_left;
  uint8_t privacy_top;
  uint8_t privacy_width;
  uint8_t privacy_height;
  uint8_t serial_parity;
  uint8_t dvr_disable_overlay_on_boot;
  uint8_t dvr_primary_overlay_font_size;
  SecondaryOverlayParams dvr_secondary_overlay[4];
  uint8_t log_udp_addr[4];
  uint32_t dvr_allow_modes;
  uint8_t capture_force_input_mode;
  uint8_t dvr_keyboard_layout;
  uint8_t capture_color_killer;
  uint8_t network_disable_mdns;
  uint8_t rtsp_disable_auth;
  char rtsp_custom_stream_name[32];
  uint8_t rtsp_custom_stream_mode;
  uint8_t dvr_menu_text_size;
  uint8_t capture_force_input_mode2;
  uint8_t capture_disable_free_run;
  uint8_t dvr_disable_ext_config;
  uint8_t reserved_2234[2];
};

#pragma pack(pop)

// The stored layout is little-endian; the structure is read in place.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "ParamBlock is little-endian");

#define PB_AT(field, off) static_assert(offsetof(ParamBlock, field) == (off), #field)
static_assert(sizeof(OsdTextConfig) == 172, "OsdTextConfig");
static_assert(sizeof(NetParams) == 20, "NetParams");
static_assert(sizeof(UdpParams) == 12, "UdpParams");
static_assert(sizeof(VideoChannelParams) == 204, "VideoChannelParams");
static_assert(sizeof(UserRecord) == 44, "UserRecord");
static_assert(sizeof(RtmpParams) == 81, "RtmpParams");
static_assert(sizeof(EncoderParams) == 56, "EncoderParams");
static_assert(sizeof(SecondaryOverlayParams) == 6, "SecondaryOverlayParams");
static_assert(sizeof(ParamBlock) == PARAM_BLOCK_SIZE, "ParamBlock size");
PB_AT(size, 0); PB_AT(crc, 4); PB_AT(counter, 8);
PB_AT(gpio_alarm_enabled, 12); PB_AT(gpio_in_trig_level, 13); PB_AT(gpio_out_default, 14);
PB_AT(alarm_timeout, 16); PB_AT(vlock_alarm_enabled, 20); PB_AT(vlock_threshold, 21);
PB_AT(mac_addr, 22); PB_AT(network_mode, 28); PB_AT(hostname, 29);
PB_AT(net[0].addr, 52); PB_AT(net[0].mask, 56); PB_AT(net[0].gateway, 60);
PB_AT(net[0].dns1, 64); PB_AT(net[0].dns2, 68);
PB_AT(net[1].addr, 72); PB_AT(net[1].mask, 76); PB_AT(net[1].gateway, 80);
PB_AT(net[1].dns1, 84); PB_AT(net[1].dns2, 88);
PB_AT(udp[0].stream_id, 92); PB_AT(udp[0].start_mode, 93); PB_AT(udp[0].stream_mode, 94);
PB_AT(udp[0].addr, 96); PB_AT(udp[0].port, 100); PB_AT(udp[0].retry_timeout, 102);
PB_AT(udp[1].stream_id, 104); PB_AT(udp[1].start_mode, 105); PB_AT(udp[1].stream_mode, 106);
PB_AT(udp[1].addr, 108); PB_AT(udp[1].port, 112); PB_AT(udp[1].retry_timeout, 114);
PB_AT(udp_packet_size, 116);
PB_AT(video[0].width, 120); PB_AT(video[0].height, 122); PB_AT(video[0].bit_rate, 124);
PB_AT(video[0].stream_mode, 128); PB_AT(video[0].flip, 129); PB_AT(video[0].gop_size, 130);
PB_AT(video[0].frame_rate, 131); PB_AT(video[0].jpeg_quality, 132);
PB_AT(video[0].aspect_ratio, 133); PB_AT(video[0].rate_mode, 134);
PB_AT(video[0].interlaced, 135); PB_AT(video[0].intra_frame_qp, 136);
PB_AT(video[0].inter_p_frame_qp, 137); PB_AT(video[0].h264_level, 139);
PB_AT(video[0].h264_profile, 140); PB_AT(video[0].rtmp_audio, 141);
PB_AT(video[0].slice_mode, 142); PB_AT(video[0].osd.enabled, 152);
PB_AT(video[0].osd.transparent, 153); PB_AT(video[0].osd.date_format, 154);
PB_AT(video[0].osd.time_format, 155); PB_AT(video[0].osd.x, 156);
PB_AT(video[0].osd.y, 160); PB_AT(video[0].osd.message, 164);
PB_AT(video[1].width, 324); PB_AT(video[1].height, 326); PB_AT(video[1].bit_rate, 328);
PB_AT(video[1].stream_mode, 332); PB_AT(video[1].flip, 333); PB_AT(video[1].gop_size, 334);
PB_AT(video[1].frame_rate, 335); PB_AT(video[1].jpeg_quality, 336);
PB_AT(video[1].aspect_ratio, 337); PB_AT(video[1].rate_mode, 338);
PB_AT(video[1].interlaced, 339); PB_AT(video[1].intra_frame_qp, 340);
PB_AT(video[1].inter_p_frame_qp, 341); PB_AT(video[1].h264_level, 343);
PB_AT(video[1].h264_profile, 344); PB_AT(video[1].rtmp_audio, 345);
PB_AT(video[1].slice_mode, 346); PB_AT(video[1].osd.enabled, 356);
PB_AT(video[1].osd.transparent, 357); PB_AT(video[1].osd.date_format, 358);
PB_AT(video[1].osd.time_format, 359); PB_AT(video[1].osd.x, 360);
PB_AT(video[1].osd.y, 364); PB_AT(video[1].osd.message, 368);
PB_AT(audio.volume_left, 528); PB_AT(audio.volume_right, 529); PB_AT(audio.agc_left, 530);
PB_AT(audio.agc_right, 531); PB_AT(audio.input, 532); PB_AT(audio.out_volume_left, 533);
PB_AT(audio.out_volume_right, 534); PB_AT(audio.channels, 535); PB_AT(audio.mono_mode, 536);
PB_AT(audio.bit_rate, 540); PB_AT(audio.sample_rate, 544); PB_AT(audio.mute, 548);
PB_AT(capture.standard, 552); PB_AT(capture.interpolate, 553);
PB_AT(capture.brightness, 554); PB_AT(capture.saturation, 555); PB_AT(capture.hue, 556);
PB_AT(capture.contrast, 557); PB_AT(capture.input, 558);
PB_AT(display.standard, 560); PB_AT(display.display_mode, 561); PB_AT(display.output, 562);
PB_AT(display.udp_port, 564); PB_AT(display.stream_format, 566);
PB_AT(display.start_mode, 567); PB_AT(display.url, 568);
PB_AT(display_osd.enabled, 648); PB_AT(display_osd.transparent, 649);
PB_AT(display_osd.date_format, 650); PB_AT(display_osd.time_format, 651);
PB_AT(display_osd.x, 652); PB_AT(display_osd.y, 656); PB_AT(display_osd.message, 660);
PB_AT(users[0].name, 820); PB_AT(users[0].permission, 840); PB_AT(users[0].password, 844);
PB_AT(users[1].name, 864); PB_AT(users[2].name, 908); PB_AT(users[3].name, 952);
PB_AT(users[4].name, 996); PB_AT(users[5].name, 1040); PB_AT(users[6].name, 1084);
PB_AT(users[7].name, 1128); PB_AT(users[8].name, 1172); PB_AT(users[9].name, 1216);
PB_AT(users[9].permission, 1236);
PB_AT(guest_permission, 1260); PB_AT(motion_vector_stream, 1264);
PB_AT(rtmp[0].start_mode, 1265); PB_AT(rtmp[0].url, 1266);
PB_AT(rtmp[1].start_mode, 1346); PB_AT(rtmp[1].url, 1347);
PB_AT(recording.filename, 1468); PB_AT(recording.segments, 1548);
PB_AT(recording.duration, 1552); PB_AT(recording.source, 1556);
PB_AT(recording.duration_mode, 1557); PB_AT(recording.start_mode, 1558);
PB_AT(recording.format, 1559); PB_AT(recording.directory, 1560);
PB_AT(recording.storage_device, 1592); PB_AT(recording.seek_amount, 1593);
PB_AT(recording.mute_at_start, 1594);
PB_AT(serial.baud_rate, 1596); PB_AT(serial.interval, 1600); PB_AT(serial.start_mode, 1604);
PB_AT(serial.stream_id, 1605); PB_AT(serial.tcp_port, 1608);
PB_AT(keys_map, 1612); PB_AT(keys_menu_back_option, 1621);
PB_AT(encoder[0].scale_factor[0], 1624); PB_AT(encoder[0].scale_factor[1], 1628);
PB_AT(encoder[0].scale_label[0], 1632); PB_AT(encoder[0].scale_label[1], 1652);
PB_AT(encoder[0].scale_select, 1672); PB_AT(encoder[0].scale_conversion_factor, 1676);
PB_AT(encoder[1].scale_factor[0], 1680); PB_AT(encoder[1].scale_factor[1], 1684);
PB_AT(encoder[1].scale_label[0], 1688); PB_AT(encoder[1].scale_label[1], 1708);
PB_AT(encoder[1].scale_select, 1728); PB_AT(encoder[1].scale_conversion_factor, 1732);
PB_AT(dvr_splash_screen_time, 1736); PB_AT(dvr_overlay_text, 1737);
PB_AT(wifi_ssid, 1938); PB_AT(wifi_security, 1978); PB_AT(wifi_password, 1979);
PB_AT(wifi_channel, 2019); PB_AT(wifi_ping, 2020); PB_AT(wifi_enable, 2021);
PB_AT(dvr_disable_ext_ports, 2022); PB_AT(dvr_language, 2023);
PB_AT(dvr_snapshot_duration, 2043); PB_AT(dvr_hide_params_menu, 2044);
PB_AT(developer_mode, 2045); PB_AT(dvr_snapshot_overlay_disable, 2046);
PB_AT(udp_ttl, 2047); PB_AT(udp_dscp_ecn, 2048); PB_AT(dvr_recording_show, 2049);
PB_AT(dvr_status_x, 2050); PB_AT(dvr_status_y, 2052);
PB_AT(dvr_pal_status_x, 2054); PB_AT(dvr_pal_status_y, 2056);
PB_AT(dvr_menu_alpha, 2058); PB_AT(dvr_status_icons, 2059); PB_AT(serial_tcp_addr, 2060);
PB_AT(dvr_copy_or_move, 2064); PB_AT(dvr_esc_disabled, 2065);
PB_AT(dvr_audio_passthru, 2066); PB_AT(dvr_group_select, 2067);
PB_AT(rtsp_disable, 2068); PB_AT(rtsp_port, 2070); PB_AT(network_time_server, 2072);
PB_AT(dvr_audio_cfg, 2152); PB_AT(privacy_left, 2153); PB_AT(privacy_top, 2154);
PB_AT(privacy_width, 2155); PB_AT(privacy_height, 2156); PB_AT(serial_parity, 2157);
PB_AT(dvr_disable_overlay_on_boot, 2158); PB_AT(dvr_primary_overlay_font_size, 2159);
PB_AT(dvr_secondary_overlay[0].font, 2160); PB_AT(dvr_secondary_overlay[0].background, 2161);
PB_AT(dvr_secondary_overlay[0].x, 2162); PB_AT(dvr_secondary_overlay[0].y, 2164);
PB_AT(dvr_secondary_overlay[3].font, 2178); PB_AT(dvr_secondary_overlay[3].y, 2182);
PB_AT(log_udp_addr, 2184); PB_AT(dvr_allow_modes, 2188);
PB_AT(capture_force_input_mode, 2192); PB_AT(dvr_keyboard_layout, 2193);
PB_AT(capture_color_killer, 2194); PB_AT(network_disable_mdns, 2195);
PB_AT(rtsp_disable_auth, 2196); PB_AT(rtsp_custom_stream_name, 2197);
PB_AT(rtsp_custom_stream_mode, 2229); PB_AT(dvr_menu_text_size, 2230);
PB_AT(capture_force_input_mode2, 0x8B7); PB_AT(capture_disable_free_run, 2232);
PB_AT(dvr_disable_ext_config, 2233);
#undef PB_AT

// The live block (the one every subsystem reads) and the compiled-in defaults.
ParamBlock *get_param_block(void);
const ParamBlock *param_default_block(void);

// AMF0 values of RTMP commands: a bounds-checked reader and the builder of
// command bodies from a format text.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

enum : uint8_t {
  AMF0_NUMBER = 0x00,
  AMF0_BOOLEAN = 0x01,
  AMF0_STRING = 0x02,
  AMF0_OBJECT = 0x03,
  AMF0_MOVIECLIP = 0x04,
  AMF0_NULL = 0x05,
  AMF0_UNDEFINED = 0x06,
  AMF0_REFERENCE = 0x07,
  AMF0_ECMA_ARRAY = 0x08,
  AMF0_OBJECT_END = 0x09,
  AMF0_STRICT_ARRAY = 0x0A,
  AMF0_DATE = 0x0B,
  AMF0_LONG_STRING = 0x0C,
  AMF0_UNSUPPORTED = 0x0D,
  AMF0_RECORDSET = 0x0E,
  AMF0_XML_DOCUMENT = 0x0F,
  AMF0_TYPED_OBJECT = 0x10
};

enum { AMF_MAX_DEPTH = 32 };

// One top-level value; objects and arrays are stepped over whole.
struct AmfValue {
  uint8_t type;
  double number;       // AMF0_NUMBER, AMF0_BOOLEAN
  const char *str;     // AMF0_STRING, AMF0_LONG_STRING: into the data, not terminated
  uint32_t len;
};

struct AmfReader {
  const uint8_t *data;
  size_t len;
  size_t pos;
};

void amf_reader_init(AmfReader *r, const uint8_t *data, size_t len);
// 1 with *v and the reader past the value, 0 at the end of the data, -1 when
// the value is cut short, nested deeper than AMF_MAX_DEPTH, counts more items
// than the bytes left could hold, or has an unknown marker.
int amf_read(AmfReader *r, AmfValue *v);
// Whether a string value equals text.
bool amf_is(const AmfValue *v, const char *text);

// Builds an AMF0 body from fmt: 's' string (NULL: null), 'n' number from an
// int, 'd' number from a double, '0' null, 'b' boolean (int), '{' object
// start, after which each value letter first takes its property name, '}'
// object end; raw big-endian 'i' 32-bit, 'x' 16-bit, 'c' byte. Returns the
// bytes written, or -1 when they do not fit size.
int amf_build(uint8_t *out, size_t size, const char *fmt, va_list ap);

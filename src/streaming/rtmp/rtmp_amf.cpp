#include "streaming/rtmp/rtmp_amf.h"

#include <cstring>

#include "formats/flv.h"

namespace {

inline uint32_t get16(const uint8_t *p) { return (uint32_t)p[0] << 8 | p[1]; }
inline uint32_t get32(const uint8_t *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

size_t left(const AmfReader *r) { return r->len - r->pos; }

bool take(AmfReader *r, size_t n) {
  if (left(r) < n) return false;
  r->pos += n;
  return true;
}

// A 16- or 32-bit length and that many bytes.
bool read_text(AmfReader *r, int width, const char **s, uint32_t *n) {
  if (left(r) < (size_t)width) return false;
  uint32_t len = width == 2 ? get16(r->data + r->pos) : get32(r->data + r->pos);
  r->pos += width;
  if (left(r) < len) return false;
  *s = (const char *)r->data + r->pos;
  *n = len;
  r->pos += len;
  return true;
}

bool read_value(AmfReader *r, AmfValue *v, int depth);

// Properties (name and value) up to the end marker 00 00 09. An ECMA array
// gives a count, which writers do not always keep; the end marker decides.
bool read_properties(AmfReader *r, int depth) {
  for (;;) {
    const char *name;
    uint32_t n;
    if (!read_text(r, 2, &name, &n)) return false;
    if (n == 0 && left(r) >= 1 && r->data[r->pos] == AMF0_OBJECT_END) {
      r->pos++;
      return true;
    }
    AmfValue v;
    if (!read_value(r, &v, depth)) return false;
  }
}

bool read_value(AmfReader *r, AmfValue *v, int depth) {
  if (left(r) < 1 || depth > AMF_MAX_DEPTH) return false;
  memset(v, 0, sizeof *v);
  v->type = r->data[r->pos++];
  switch (v->type) {
    case AMF0_NUMBER: {
      if (left(r) < 8) return false;
      uint64_t bits = (uint64_t)get32(r->data + r->pos) << 32 | get32(r->data + r->pos + 4);
      memcpy(&v->number, &bits, sizeof bits);
      r->pos += 8;
      return true;
    }
    case AMF0_BOOLEAN:
      if (left(r) < 1) return false;
      v->number = r->data[r->pos++] ? 1 : 0;
      return true;
    case AMF0_STRING:
      return read_text(r, 2, &v->str, &v->len);
    case AMF0_LONG_STRING:
    case AMF0_XML_DOCUMENT:
      return read_text(r, 4, &v->str, &v->len);
    case AMF0_OBJECT:
      return read_properties(r, depth + 1);
    case AMF0_TYPED_OBJECT: {
      const char *cls;
      uint32_t n;
      return read_text(r, 2, &cls, &n) && read_properties(r, depth + 1);
    }
    case AMF0_ECMA_ARRAY: {
      // Each property takes at least a 2-byte name and a marker.
      if (left(r) < 4 || get32(r->data + r->pos) > (left(r) - 4) / 3) return false;
      r->pos += 4;
      return read_properties(r, depth + 1);
    }
    case AMF0_STRICT_ARRAY: {
      if (left(r) < 4) return false;
      uint32_t count = get32(r->data + r->pos);
      r->pos += 4;
      if (count > left(r)) return false;
      for (uint32_t i = 0; i < count; i++) {
        AmfValue item;
        if (!read_value(r, &item, depth + 1)) return false;
      }
      return true;
    }
    case AMF0_REFERENCE:
      return take(r, 2);
    case AMF0_DATE:
      return take(r, 10);
    case AMF0_MOVIECLIP:
    case AMF0_NULL:
    case AMF0_UNDEFINED:
    case AMF0_UNSUPPORTED:
    case AMF0_RECORDSET:
      return true;
    default:  // the object end outside an object, the AMF3 switch, unknown markers
      return false;
  }
}

inline void put16(uint8_t *p, uint32_t v) { p[0] = (uint8_t)(v >> 8); p[1] = (uint8_t)v; }
inline void put32(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24); p[1] = (uint8_t)(v >> 16); p[2] = (uint8_t)(v >> 8); p[3] = (uint8_t)v;
}

}  // namespace

void amf_reader_init(AmfReader *r, const uint8_t *data, size_t len) {
  r->data = data;
  r->len = data ? len : 0;
  r->pos = 0;
}

int amf_read(AmfReader *r, AmfValue *v) {
  if (left(r) == 0) return 0;
  return read_value(r, v, 0) ? 1 : -1;
}

bool amf_is(const AmfValue *v, const char *text) {
  size_t n = strlen(text);
  return (v->type == AMF0_STRING || v->type == AMF0_LONG_STRING) && v->len == n &&
         memcmp(v->str, text, n) == 0;
}

int amf_build(uint8_t *out, size_t size, const char *fmt, va_list ap) {
  size_t n = 0;
  int depth = 0;
  for (const char *f = fmt; *f; f++) {
    // Names and strings check their own room; every other item fits in 9.
    const char *name = nullptr;
    if (depth && *f != '}') name = va_arg(ap, const char *);
    if (name) {
      size_t l = strlen(name);
      if (l > 0xFFFF || n + 2 + l > size) return -1;
      n += amf_write_string(out + n, name);
    }
    if (n + 9 > size) return -1;
    switch (*f) {
      case 's': {
        const char *s = va_arg(ap, const char *);
        if (!s) {
          out[n++] = AMF0_NULL;
          break;
        }
        size_t l = strlen(s);
        if (l > 0xFFFFFFFFu - 5 || n + 5 + l > size) return -1;
        if (l >= 65536) {
          out[n++] = AMF0_LONG_STRING;
          put32(out + n, (uint32_t)l);
          memcpy(out + n + 4, s, l);
          n += 4 + l;
        } else {
          out[n++] = AMF0_STRING;
          n += amf_write_string(out + n, s);
        }
        break;
      }
      case 'n': n += amf_write_number(out + n, (double)va_arg(ap, int)); break;
      case 'd': n += amf_write_number(out + n, va_arg(ap, double)); break;
      case '0': out[n++] = AMF0_NULL; break;
      case 'b':
        out[n++] = AMF0_BOOLEAN;
        out[n++] = va_arg(ap, int) ? 1 : 0;
        break;
      case '{': out[n++] = AMF0_OBJECT; depth++; break;
      case '}':
        if (depth) depth--;
        out[n++] = 0; out[n++] = 0; out[n++] = AMF0_OBJECT_END;
        break;
      case 'i': put32(out + n, va_arg(ap, unsigned)); n += 4; break;
      case 'x': put16(out + n, va_arg(ap, unsigned)); n += 2; break;
      case 'c': out[n++] = (uint8_t)va_arg(ap, int); break;
      default: return -1;
    }
  }
  return (int)n;
}

// The engine object: a per-thread handle through which the encoders open.
#include "platform/framework/codec_engine.h"
#include "platform/framework/codec_engine_internal.h"
#include <cstdlib>
#include <cstring>

Engine_Handle Engine_open(const char *name, void *attrs, int *error) {
  int err = Engine_EOK;
  Engine_Object *e = NULL;
  if (!name || strcmp(name, "encode") != 0) {
    err = Engine_ENOTFOUND;
  } else if (!(e = (Engine_Object *)calloc(1, sizeof *e))) {
    err = Engine_ENOMEM;
  } else {
    e->magic = ENGINE_MAGIC;
  }
  if (error) *error = err;
  return e;
}

void Engine_close(Engine_Handle engine) {
  if (!engine) return;
  engine->magic = 0;
  free(engine);
}

bool engine_valid(Engine_Handle engine) { return engine && engine->magic == ENGINE_MAGIC; }

// Forms posted to the web server: parameter forms, file deletion, the access
// log, the mixer; and the key handlers a form's keys may reach.
#pragma once
#include <cstddef>
#include <cstdint>
#include "web/web_request.h"

int post_processor_func(WebRequest *req, const char *data, size_t size);
int post_processor_nosave_func(WebRequest *req, const char *data, size_t size);
int post_auth_controls_func(WebRequest *req, const char *data, size_t size);
int post_delete_files_func(WebRequest *req, const char *data, size_t size);
int post_mixer_func(WebRequest *req, const char *data, size_t size);
int post_clear_log_func(WebRequest *req, const char *data, size_t size);
void post_processor_done(WebRequest *req);

int post_ignore_func(WebRequest *req, const char *value, size_t size);
int post_save_params_func(WebRequest *req, const char *value, size_t size);
int post_redirect_func(WebRequest *req, const char *value, size_t size);
int post_create_user_func(WebRequest *req, const char *value, size_t size);

// One piece of a posted key's value, as the post processor delivers it
// (offset 0 starts a value). The value is acted on once it is whole.
void form_field(WebRequest *req, const char *key, const char *data, uint64_t offset, size_t size);
// Ends the value gathered last; it waits with the form's others.
void form_flush(WebRequest *req);
// Acts on every waiting value in order, once the request has completed.
void form_apply(WebRequest *req);


// The UUID functions of libSystem as documented (uuid(3), uuid/uuid.h): the Mac's own, in place of
// Linux's libuuid, whose header the check must not borrow.
#pragma once

typedef unsigned char uuid_t[16];
typedef char uuid_string_t[37];

#ifdef __cplusplus
extern "C" {
#endif

void uuid_clear(uuid_t uu);
int uuid_compare(const uuid_t uu1, const uuid_t uu2);
void uuid_copy(uuid_t dst, const uuid_t src);
void uuid_generate(uuid_t out);
void uuid_generate_random(uuid_t out);
void uuid_generate_time(uuid_t out);
int uuid_is_null(const uuid_t uu);
int uuid_parse(const uuid_string_t in, uuid_t uu);
void uuid_unparse(const uuid_t uu, uuid_string_t out);
void uuid_unparse_lower(const uuid_t uu, uuid_string_t out);
void uuid_unparse_upper(const uuid_t uu, uuid_string_t out);

#ifdef __cplusplus
}
#endif

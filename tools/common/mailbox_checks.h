/* The sender checks of one message of a mailbox, and a policy's action on it, for hosts written
 * in C (the Python module):
 * they are decided as hdx scan decides them, from the message's whole header fields, the
 * envelope sender being its Return-Path field. */
#ifndef HDX_COMMON_MAILBOX_CHECKS_H
#define HDX_COMMON_MAILBOX_CHECKS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* FIELDS[i] holds SIZES[i] bytes, a whole field with its line ends, for i below COUNT. Writes the
 * names of the checks that fire, comma-separated, into OUT as a zero-ended string cut to fit
 * OUT_SIZE (256 bytes hold them all); returns the length of the whole list, or SIZE_MAX, with
 * OUT empty, when memory ran out. */
size_t hdx_mailbox_checks(const char* const* fields, const size_t* sizes, size_t count, char* out,
                          size_t out_size);

/* What a policy (POLICY_SIZE bytes of a policy file's text, hdx-milter's config file as it is)
 * would do to that message, from the client that its topmost Received field names: "ACTION" or
 * "ACTION:CHECK,...", a tab, and why a check the policy names was spared (trusted-host,
 * authenticated, exempt) or nothing, into OUT as a zero-ended string cut to fit OUT_SIZE (256
 * bytes hold it). Returns 0; -1, with the mistake ("policy:LINE: why") in OUT, where the policy
 * cannot be read; -2 when memory ran out. */
int hdx_mailbox_action(const char* const* fields, const size_t* sizes, size_t count,
                       const char* policy, size_t policy_size, char* out, size_t out_size);

#ifdef __cplusplus
}
#endif

#endif /* HDX_COMMON_MAILBOX_CHECKS_H */

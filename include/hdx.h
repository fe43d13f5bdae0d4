/* hdx: reads the sender's identity out of Internet mail header fields and SMTP paths.
 * Plain C interface; every function is re-entrant and keeps no state between calls. */
#ifndef HDX_H
#define HDX_H

#include <stdint.h>

#if defined(__GNUC__) || defined(__clang__)
#define HDX_EXPORT __attribute__((visibility("default")))
#else
#define HDX_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. HDXUnfoldEmailHdrLine returns a length instead. */
enum {
  HDX_OK = 0,
  HDX_FAIL = -1,
  HDX_PARTIAL_MATCH = 16
};

/* Finds the first line terminator (LF, or CR LF when the CR stands right before the LF) in
 * buf[0, bufLen). On HDX_OK, *lineLen is the first line's length with its terminator and *eolLen
 * is 1 or 2. HDX_FAIL when buf, lineLen or eolLen is null, bufLen is 0 or there is no LF; the
 * outputs are then untouched. A lone CR is not a terminator. */
HDX_EXPORT int32_t HDXFindEmailLineEnd(const char* buf, uint32_t bufLen, uint32_t* lineLen,
                                       uint32_t* eolLen);

/* Unfolds a header field in place: every terminator followed by a space or a tab is taken out,
 * the blank stays. Returns the new content length (bufLen for a null buf). The bytes between the
 * new length and bufLen are leftovers: each fold leaves the content's old last bytes behind, one
 * copy per fold, as a front-to-back move of the rest of the content would. Linear time. */
HDX_EXPORT uint32_t HDXUnfoldEmailHdrLine(char* buf, uint32_t bufLen);

/* Finds the sending host's address in a whole Received field ("Received:", body, usually its
 * terminator, possibly folded): the text in square brackets in the first parenthesised group
 * after "from" and the announced host name. Unfolds field in place first; on HDX_OK *ipStart
 * points into the unfolded field and *ipLen (possibly 0) is the text's length. Nothing is
 * copied or validated. On HDX_FAIL the outputs are untouched, but the field stays unfolded. */
HDX_EXPORT int32_t HDXExtractSenderIPFromRcvdHdrField(char* field, uint32_t fieldLen,
                                                      char** ipStart, uint32_t* ipLen);

#ifdef __cplusplus
}
#endif

#endif /* HDX_H */

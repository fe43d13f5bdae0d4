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

/* Finds the first occurrence of pattern[0, patternLen) in buf[0, bufLen). HDX_OK: a full match;
 * *matchStart points at it in buf and *matchLen is patternLen. HDX_PARTIAL_MATCH: no full match,
 * but buf ends with the first *matchLen bytes of the pattern, starting at *matchStart. HDX_FAIL:
 * neither, or an empty span or pattern; the outputs are then untouched. Linear in bufLen for a
 * fixed pattern length. */
HDX_EXPORT int32_t HDXSearchPattern(const char* buf, uint32_t bufLen, const char* pattern,
                                    uint32_t patternLen, const char** matchStart,
                                    uint32_t* matchLen);

/* 1 if some byte of the inclusive region [first, last] is not a space (0x20; a tab is not a
 * space), 0 if every byte is a space or the region is empty (last below first). */
HDX_EXPORT int32_t HDXIsNotSpacePresent(const char* first, const char* last);

/* Measure the comment ("(" ... ")", nesting) or the quoted string ('"' ... '"') that opens at
 * start, reading no byte beyond last (the region's final byte, inclusive). A backslash escapes
 * the byte after it. HDX_OK: *tokenLen is the token's length, both delimiters included.
 * HDX_FAIL, with *tokenLen untouched: a null argument, start not on the opening delimiter, no
 * byte after it in the region, or no closing delimiter in the region. */
HDX_EXPORT int32_t HDXFindEmailCommentEnd(const char* start, const char* last,
                                          uint32_t* tokenLen);
HDX_EXPORT int32_t HDXFindEmailQuotedStringEnd(const char* start, const char* last,
                                               uint32_t* tokenLen);

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

/* Writes the sender's address ("local@domain", zero-terminated, cut to outSize - 1 bytes) from a
 * whole From field (name, colon, body, usually its terminator, possibly folded). The first five
 * bytes are passed over unread. Works in place: the field is unfolded, then its comments and
 * encoded words are cut out; each cut moves the rest of the field's content down and leaves the
 * content's old last bytes behind it, so the field is not intact afterwards. HDX_FAIL when no
 * address is found or it does not fit: out then holds what was written so far (nothing, the
 * local part cut to fit, or the local part and "@"), always zero-terminated once written.
 * outSize must be at least 1. */
HDX_EXPORT int32_t HDXExtractSenderEmailAddrFromFromHdrField(char* field, uint32_t fieldLen,
                                                             char* out, uint32_t outSize);
/* The same operation for a Return-Path field; it too passes over only five bytes. */
HDX_EXPORT int32_t HDXExtractSenderEmailAddrFromReturnPathHdrField(char* field, uint32_t fieldLen,
                                                                   char* out, uint32_t outSize);

/* Copies the mailbox address out of an SMTP command that carries a path after its first colon
 * ("MAIL FROM:<a@b> SIZE=10", "RCPT TO:<@relay:a@b>"): spaces after the colon, the angle
 * brackets and a source route are dropped, a quoted local part is kept as written. Without
 * brackets the address ends at a space; with them, at a space or ">". The text is cut silently
 * to outSize - 1 bytes and zero-terminated. buf is read only. HDX_FAIL when there is no colon,
 * no "@" outside quoted strings, or nothing after the "@"; out is then untouched. */
HDX_EXPORT int32_t HDXExtractEmailAddrFromReverseOrForwardPath(const char* buf, uint32_t bufLen,
                                                               char* out, uint32_t outSize);

/* Writes the current local date and time as a mail header does ("Fri, 04 Dec 2026 02:26:18
 * +0000": 31 bytes and a zero under the default locale), using the host runtime's T_time and
 * T_localtime and the C library's strftime; as thread-safe as T_localtime. HDX_FAIL without
 * writing for a null out or outSize 0; otherwise out[0] is zeroed first, so a failing T_time or
 * T_localtime leaves an empty text, and a text that does not fit leaves what strftime left. */
HDX_EXPORT int32_t HDXEmailGetCurrDateTime(char* out, uint32_t outSize);

#ifdef __cplusplus
}
#endif

#endif /* HDX_H */

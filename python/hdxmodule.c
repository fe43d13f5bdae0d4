/* The hdx extension module: libhdx for Python, with the names and meanings of the C++ interface.
 * Inputs are bytes-like objects or str; results come back in the input's family: bytes for
 * bytes-like input, str for str, which goes to the library as UTF-8 with surrogateescape, so a
 * header field that Python's email package holds as str comes back byte for byte. Positions and
 * lengths are counted in the input's own units: bytes, or characters for a str. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <string.h>

#include "hdx.h"
#include "mailbox_checks.h"

/* Inputs at least this long are worked on without the GIL. Letting the lock go and taking it back
 * costs about 30 ns on the build machine, a sixth of a typical From field's whole call; at 64 KiB
 * the library's work takes tens of microseconds, next to which that is lost. */
#ifndef HDX_WITHOUT_GIL_FROM
#define HDX_WITHOUT_GIL_FROM (64 * 1024)
#endif

/* Runs STATEMENT without the GIL when SIZE makes that pay. The buffers it touches are held by
 * the call (a buffer export or a private copy), so no other thread can move or free them. */
#define HDX_RUN(size, statement)        \
  do {                                  \
    if ((size) >= HDX_WITHOUT_GIL_FROM) { \
      Py_BEGIN_ALLOW_THREADS statement;  \
      Py_END_ALLOW_THREADS                \
    } else {                            \
      statement;                        \
    }                                   \
  } while (0)

/* An argument's bytes. A str that is all ASCII lends its own storage, which is its UTF-8 form;
 * any other str is encoded. */
typedef struct {
  const char *data;
  Py_ssize_t size;
  int is_str;
  PyObject *encoded; /* a non-ASCII str's UTF-8 form, or NULL */
  Py_buffer view;    /* view.obj is NULL unless a buffer is held */
} Input;

static void input_release(Input *in) {
  if (in->view.obj != NULL) PyBuffer_Release(&in->view);
  Py_CLEAR(in->encoded);
}

/* The library measures in 32 bits: a longer input is refused rather than cut. */
static int check_size(Py_ssize_t size, const char *name) {
  if ((uint64_t)size <= UINT32_MAX) return 0;
  PyErr_Format(PyExc_ValueError, "%s is %zd bytes long; hdx takes at most 4 GiB - 1", name, size);
  return -1;
}

static int input_get(PyObject *obj, const char *name, Input *in) {
  memset(in, 0, sizeof *in);
  if (PyUnicode_Check(obj)) {
    in->is_str = 1;
    if (PyUnicode_IS_ASCII(obj)) {
      in->data = (const char *)PyUnicode_DATA(obj);
      in->size = PyUnicode_GET_LENGTH(obj);
    } else {
      in->encoded = PyUnicode_AsEncodedString(obj, "utf-8", "surrogateescape");
      if (in->encoded == NULL) return -1;
      in->data = PyBytes_AS_STRING(in->encoded);
      in->size = PyBytes_GET_SIZE(in->encoded);
    }
  } else if (PyObject_CheckBuffer(obj)) {
    if (PyObject_GetBuffer(obj, &in->view, PyBUF_SIMPLE) != 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be contiguous bytes, not this %.100s", name,
                   Py_TYPE(obj)->tp_name);
      return -1;
    }
    in->data = in->view.buf;
    in->size = in->view.len;
  } else {
    PyErr_Format(PyExc_TypeError, "%s must be bytes, bytearray, memoryview or str, not %.100s",
                 name, Py_TYPE(obj)->tp_name);
    return -1;
  }
  if (check_size(in->size, name) == 0) return 0;
  input_release(in);
  return -1;
}

/* The _in_place functions change a bytearray, and only a bytearray: bytes and str cannot change,
 * and a memoryview cannot change its length. The export keeps the bytearray from being resized
 * while the library works in it. */
static int bytearray_get(PyObject *obj, Py_buffer *view) {
  if (!PyByteArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "buf must be a bytearray, not %.100s", Py_TYPE(obj)->tp_name);
    return -1;
  }
  if (PyObject_GetBuffer(obj, view, PyBUF_WRITABLE) != 0) return -1;
  if (check_size(view->len, "buf") == 0) return 0;
  PyBuffer_Release(view);
  return -1;
}

/* N bytes at P as the input's family returns them. */
static PyObject *text_of(const Input *in, const char *p, Py_ssize_t n) {
  if (in->is_str) return PyUnicode_DecodeUTF8(p, n, "surrogateescape");
  return PyBytes_FromStringAndSize(p, n);
}

/* A count of N bytes at P as the caller counts: in characters for a non-ASCII str, which the
 * decoding gives; -1 with an exception if it fails. */
static Py_ssize_t units_of(const Input *in, const char *p, Py_ssize_t n) {
  if (in->encoded == NULL) return n;
  PyObject *text = PyUnicode_DecodeUTF8(p, n, "surrogateescape");
  if (text == NULL) return -1;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  Py_DECREF(text);
  return length;
}

/* Runs WORK on the bytes of ARG with room for COPIES times their length and a zero byte: on the
 * stack for short inputs, from the heap for long ones. */
typedef PyObject *(*Work)(const Input *in, char *room);

static PyObject *with_room(PyObject *arg, const char *name, size_t copies, Work work) {
  Input in;
  if (input_get(arg, name, &in) != 0) return NULL;
  char local[1024];
  const size_t size = copies * (size_t)in.size + 1;
  char *room = size <= sizeof local ? local : PyMem_RawMalloc(size);
  PyObject *result = room != NULL ? work(&in, room) : PyErr_NoMemory();
  if (room != local) PyMem_RawFree(room);
  input_release(&in);
  return result;
}

/* The address the library wrote into OUT, or None when it found none. An address never outgrows
 * its field, so OUT has the field's size plus the zero byte. */
static PyObject *address_or_none(const Input *in, int32_t rc, const char *out) {
  if (rc != HDX_OK) Py_RETURN_NONE;
  return text_of(in, out, (Py_ssize_t)strlen(out));
}

PyDoc_STRVAR(sender_address_doc,
"sender_address(field, /)\n--\n\n"
"The sender's address in a whole From or Return-Path field (name, colon, value, folds and\n"
"the line end included), or None. The field itself is not changed.");

static PyObject *address_of_field(const Input *in, char *room) {
  const uint32_t n = (uint32_t)in->size;
  char *out = room + n;
  int32_t rc;
  memcpy(room, in->data, n);
  HDX_RUN(n, rc = HDXExtractSenderEmailAddrFromFromHdrField(room, n, out, n + 1));
  return address_or_none(in, rc, out);
}

static PyObject *sender_address(PyObject *module, PyObject *arg) {
  (void)module;
  return with_room(arg, "field", 2, address_of_field);
}

PyDoc_STRVAR(sender_address_in_place_doc,
"sender_address_in_place(buf, /)\n--\n\n"
"The sender's address in the From or Return-Path field held in the bytearray buf, as bytes,\n"
"or None. buf is changed as the library changes its buffer: unfolded and cut where comments\n"
"and encoded words stood, with what was left behind where it falls; its length stays.");

static PyObject *sender_address_in_place(PyObject *module, PyObject *arg) {
  (void)module;
  Py_buffer view;
  if (bytearray_get(arg, &view) != 0) return NULL;
  const uint32_t n = (uint32_t)view.len;
  char *out = PyMem_RawMalloc((size_t)n + 1);
  PyObject *result = NULL;
  if (out == NULL) {
    PyErr_NoMemory();
  } else {
    int32_t rc;
    HDX_RUN(n, rc = HDXExtractSenderEmailAddrFromFromHdrField(view.buf, n, out, n + 1));
    result = rc == HDX_OK ? PyBytes_FromString(out) : Py_NewRef(Py_None);
    PyMem_RawFree(out);
  }
  PyBuffer_Release(&view);
  return result;
}

PyDoc_STRVAR(sender_ip_doc,
"sender_ip(field, /)\n--\n\n"
"The sending host's address in a whole Received field, from its \"from host (host [address])\"\n"
"clause, or None. The field itself is not changed.");

static PyObject *ip_of_field(const Input *in, char *room) {
  const uint32_t n = (uint32_t)in->size;
  char *ip = NULL;
  uint32_t length = 0;
  int32_t rc;
  memcpy(room, in->data, n);
  HDX_RUN(n, rc = HDXExtractSenderIPFromRcvdHdrField(room, n, &ip, &length));
  if (rc != HDX_OK) Py_RETURN_NONE;
  return text_of(in, ip, length);
}

static PyObject *sender_ip(PyObject *module, PyObject *arg) {
  (void)module;
  return with_room(arg, "field", 1, ip_of_field);
}

PyDoc_STRVAR(sender_ip_in_place_doc,
"sender_ip_in_place(buf, /)\n--\n\n"
"Unfolds the Received field held in the bytearray buf in place (its length stays) and returns\n"
"(offset, length) of the sending host's address in it, or None.");

static PyObject *sender_ip_in_place(PyObject *module, PyObject *arg) {
  (void)module;
  Py_buffer view;
  if (bytearray_get(arg, &view) != 0) return NULL;
  char *ip = NULL;
  uint32_t length = 0;
  int32_t rc;
  HDX_RUN(view.len, rc = HDXExtractSenderIPFromRcvdHdrField(view.buf, (uint32_t)view.len, &ip,
                                                             &length));
  const Py_ssize_t offset = ip - (char *)view.buf;
  PyBuffer_Release(&view);
  if (rc != HDX_OK) Py_RETURN_NONE;
  return Py_BuildValue("(nI)", offset, length);
}

PyDoc_STRVAR(path_address_doc,
"path_address(command, /)\n--\n\n"
"The mailbox address of a \"MAIL FROM:\" or \"RCPT TO:\" command (source routes dropped), or\n"
"None. An empty path (\"<>\") has no address.");

static PyObject *address_of_path(const Input *in, char *room) {
  const uint32_t n = (uint32_t)in->size;
  int32_t rc;
  HDX_RUN(n, rc = HDXExtractEmailAddrFromReverseOrForwardPath(in->data, n, room, n + 1));
  return address_or_none(in, rc, room);
}

static PyObject *path_address(PyObject *module, PyObject *arg) {
  (void)module;
  return with_room(arg, "command", 1, address_of_path);
}

PyDoc_STRVAR(unfold_doc,
"unfold(field, /)\n--\n\n"
"The field with every fold (a line end before a blank) removed, as the library unfolds it.");

static PyObject *unfolded(const Input *in, char *room) {
  const uint32_t n = (uint32_t)in->size;
  uint32_t kept;
  if (!in->is_str) {
    /* Straight into the result: a new bytes object may be written until it is handed out. */
    PyObject *result = PyBytes_FromStringAndSize(in->data, n);
    if (result == NULL) return NULL;
    HDX_RUN(n, kept = HDXUnfoldEmailHdrLine(PyBytes_AS_STRING(result), n));
    if (kept != n) _PyBytes_Resize(&result, kept);
    return result;
  }
  memcpy(room, in->data, n);
  HDX_RUN(n, kept = HDXUnfoldEmailHdrLine(room, n));
  return text_of(in, room, kept);
}

static PyObject *unfold(PyObject *module, PyObject *arg) {
  (void)module;
  return with_room(arg, "field", 1, unfolded);
}

PyDoc_STRVAR(unfold_in_place_doc,
"unfold_in_place(buf, /)\n--\n\n"
"Unfolds the bytearray buf in place and shrinks it to the unfolded content. Returns None.");

static PyObject *unfold_in_place(PyObject *module, PyObject *arg) {
  (void)module;
  Py_buffer view;
  if (bytearray_get(arg, &view) != 0) return NULL;
  uint32_t kept;
  HDX_RUN(view.len, kept = HDXUnfoldEmailHdrLine(view.buf, (uint32_t)view.len));
  PyBuffer_Release(&view);
  if (PyByteArray_Resize(arg, kept) != 0) return NULL;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(find_line_end_doc,
"find_line_end(text, /)\n--\n\n"
"(line_length, terminator_length) of the first line of text, its line end (LF, or CR LF)\n"
"included in line_length, or None if text holds no LF.");

static PyObject *find_line_end(PyObject *module, PyObject *arg) {
  (void)module;
  Input in;
  if (input_get(arg, "text", &in) != 0) return NULL;
  uint32_t line = 0, terminator = 0;
  int32_t rc;
  HDX_RUN(in.size, rc = HDXFindEmailLineEnd(in.data, (uint32_t)in.size, &line, &terminator));
  PyObject *result = NULL;
  if (rc != HDX_OK) {
    result = Py_NewRef(Py_None);
  } else {
    const Py_ssize_t units = units_of(&in, in.data, line);
    if (units >= 0) result = Py_BuildValue("(nI)", units, terminator);
  }
  input_release(&in);
  return result;
}

PyDoc_STRVAR(search_doc,
"search(text, pattern, /)\n--\n\n"
"(offset, length, partial) of the first match of pattern in text, or None. partial is True\n"
"when only the pattern's first length bytes stand at the very end of text. text and pattern\n"
"are both str or both bytes-like.");

static PyObject *search(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
  (void)module;
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "search() takes 2 arguments (%zd given)", nargs);
    return NULL;
  }
  Input text, pattern;
  if (input_get(args[0], "text", &text) != 0) return NULL;
  if (input_get(args[1], "pattern", &pattern) != 0) {
    input_release(&text);
    return NULL;
  }
  PyObject *result = NULL;
  if (text.is_str != pattern.is_str) {
    PyErr_SetString(PyExc_TypeError, "text and pattern must both be str or both be bytes-like");
  } else {
    const char *at = NULL;
    uint32_t length = 0;
    int32_t rc;
    HDX_RUN(text.size, rc = HDXSearchPattern(text.data, (uint32_t)text.size, pattern.data,
                                            (uint32_t)pattern.size, &at, &length));
    if (rc == HDX_FAIL) {
      result = Py_NewRef(Py_None);
    } else {
      const Py_ssize_t offset = units_of(&text, text.data, at - text.data);
      const Py_ssize_t units = offset < 0 ? -1 : units_of(&text, at, length);
      if (units >= 0) result = Py_BuildValue("(nnO)", offset, units,
                                            rc == HDX_PARTIAL_MATCH ? Py_True : Py_False);
    }
  }
  input_release(&pattern);
  input_release(&text);
  return result;
}

PyDoc_STRVAR(has_non_space_doc,
"has_non_space(text, /)\n--\n\n"
"Whether text holds a byte other than a space (0x20); a tab counts as one.");

static PyObject *has_non_space(PyObject *module, PyObject *arg) {
  (void)module;
  Input in;
  if (input_get(arg, "text", &in) != 0) return NULL;
  int32_t found = 0;
  if (in.size != 0) {
    HDX_RUN(in.size, found = HDXIsNotSpacePresent(in.data, in.data + in.size - 1));
  }
  input_release(&in);
  return PyBool_FromLong(found == 1);
}

typedef int32_t (*MeasureToken)(const char *, const char *, uint32_t *);

/* The length of the token that opens at text's first byte, or None. */
static PyObject *token_length(PyObject *arg, MeasureToken measure) {
  Input in;
  if (input_get(arg, "text", &in) != 0) return NULL;
  uint32_t length = 0;
  int32_t rc = HDX_FAIL;
  if (in.size != 0) HDX_RUN(in.size, rc = measure(in.data, in.data + in.size - 1, &length));
  PyObject *result = NULL;
  if (rc != HDX_OK) {
    result = Py_NewRef(Py_None);
  } else {
    const Py_ssize_t units = units_of(&in, in.data, length);
    if (units >= 0) result = PyLong_FromSsize_t(units);
  }
  input_release(&in);
  return result;
}

PyDoc_STRVAR(comment_length_doc,
"comment_length(text, /)\n--\n\n"
"The length of the comment, nested comments and quoted pairs included, that opens with the\n"
"\"(\" at text's first byte, or None if it is not closed within text.");

static PyObject *comment_length(PyObject *module, PyObject *arg) {
  (void)module;
  return token_length(arg, HDXFindEmailCommentEnd);
}

PyDoc_STRVAR(quoted_string_length_doc,
"quoted_string_length(text, /)\n--\n\n"
"The length of the quoted string that opens with the '\"' at text's first byte, or None if\n"
"it is not closed within text.");

static PyObject *quoted_string_length(PyObject *module, PyObject *arg) {
  (void)module;
  return token_length(arg, HDXFindEmailQuotedStringEnd);
}

/* Calls DECIDE with the whole header fields of the sequence FIELDS as the C edge takes them, and
 * CONTEXT; its result, or NULL with an exception set. */
typedef PyObject *(*FieldsDecision)(const char *const *data, const size_t *sizes, size_t n,
                                    void *context);
static PyObject *over_fields(PyObject *fields, FieldsDecision decide, void *context) {
  PyObject *seq = PySequence_Fast(fields, "fields must be a sequence");
  if (seq == NULL) return NULL;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  Input *inputs = PyMem_Calloc((size_t)n + 1, sizeof *inputs);
  const char **data = PyMem_Calloc((size_t)n + 1, sizeof *data);
  size_t *sizes = PyMem_Calloc((size_t)n + 1, sizeof *sizes);
  PyObject *result = NULL;
  Py_ssize_t taken = 0;
  if (inputs == NULL || data == NULL || sizes == NULL) PyErr_NoMemory();
  while (inputs != NULL && data != NULL && sizes != NULL && taken < n &&
         input_get(PySequence_Fast_GET_ITEM(seq, taken), "field", &inputs[taken]) == 0) {
    data[taken] = inputs[taken].data;
    sizes[taken] = (size_t)inputs[taken].size;
    ++taken;
  }
  if (taken == n && !PyErr_Occurred()) result = decide(data, sizes, (size_t)n, context);
  for (Py_ssize_t i = 0; i < taken; ++i) input_release(&inputs[i]);
  PyMem_Free(inputs);
  PyMem_Free(data);
  PyMem_Free(sizes);
  Py_DECREF(seq);
  return result;
}

PyDoc_STRVAR(mailbox_checks_doc,
"mailbox_checks(fields)\n--\n\n"
"The sender checks that fire for one message of a mailbox, as hdx scan decides them: FIELDS\n"
"are its whole header fields in order (each bytes-like or str, line ends included), and its\n"
"envelope sender is its Return-Path field. A list of the checks' names, in their order.");

static PyObject *checks_of(const char *const *data, const size_t *sizes, size_t n, void *unused) {
  (void)unused;
  char names[256];
  if (hdx_mailbox_checks(data, sizes, n, names, sizeof names) == SIZE_MAX) return PyErr_NoMemory();
  PyObject *text = PyUnicode_FromString(names), *comma = PyUnicode_FromString(","), *result = NULL;
  if (text != NULL && comma != NULL) {
    result = names[0] == '\0' ? PyList_New(0) : PyUnicode_Split(text, comma, -1);
  }
  Py_XDECREF(text);
  Py_XDECREF(comma);
  return result;
}

static PyObject *mailbox_checks(PyObject *module, PyObject *arg) {
  (void)module;
  return over_fields(arg, checks_of, NULL);
}

PyDoc_STRVAR(mailbox_action_doc,
"mailbox_action(fields, policy)\n--\n\n"
"What POLICY (the text of a policy file: hdx-milter's config file as it is) would do to one\n"
"message of a mailbox, as hdx scan --policy decides it: FIELDS as for mailbox_checks, the\n"
"client the one its topmost Received field names. A pair: the action (\"mark\", or\n"
"\"reject:CHECK,...\", \"quarantine:CHECK,...\"), and why a check the policy names was spared\n"
"(\"trusted-host\", \"authenticated\", \"exempt\") or None. ValueError, naming the line, for a\n"
"policy with a mistake.");

static PyObject *action_of(const char *const *data, const size_t *sizes, size_t n, void *policy) {
  const Input *in = policy;
  char out[256];
  const int rc = hdx_mailbox_action(data, sizes, n, in->data, (size_t)in->size, out, sizeof out);
  if (rc == -2) return PyErr_NoMemory();
  if (rc != 0) return PyErr_Format(PyExc_ValueError, "%s", out);
  char *tab = strchr(out, '\t');
  *tab = '\0';
  return Py_BuildValue("(sz)", out, tab[1] == '\0' ? NULL : tab + 1);
}

static PyObject *mailbox_action(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
  (void)module;
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "mailbox_action takes fields and a policy");
    return NULL;
  }
  Input policy;
  if (input_get(args[1], "policy", &policy) != 0) return NULL;
  PyObject *result = over_fields(args[0], action_of, &policy);
  input_release(&policy);
  return result;
}

PyDoc_STRVAR(current_date_doc,
"current_date()\n--\n\n"
"The current local date and time in mail-header form, as str, or None if the clock fails.");

static PyObject *current_date(PyObject *module, PyObject *unused) {
  (void)module;
  (void)unused;
  char out[64];
  if (HDXEmailGetCurrDateTime(out, sizeof out) != HDX_OK) Py_RETURN_NONE;
  return PyUnicode_FromString(out);
}

static PyMethodDef methods[] = {
    {"sender_address", sender_address, METH_O, sender_address_doc},
    {"sender_address_in_place", sender_address_in_place, METH_O, sender_address_in_place_doc},
    {"sender_ip", sender_ip, METH_O, sender_ip_doc},
    {"sender_ip_in_place", sender_ip_in_place, METH_O, sender_ip_in_place_doc},
    {"path_address", path_address, METH_O, path_address_doc},
    {"unfold", unfold, METH_O, unfold_doc},
    {"unfold_in_place", unfold_in_place, METH_O, unfold_in_place_doc},
    {"find_line_end", find_line_end, METH_O, find_line_end_doc},
    {"search", (PyCFunction)(void (*)(void))search, METH_FASTCALL, search_doc},
    {"has_non_space", has_non_space, METH_O, has_non_space_doc},
    {"comment_length", comment_length, METH_O, comment_length_doc},
    {"quoted_string_length", quoted_string_length, METH_O, quoted_string_length_doc},
    {"current_date", current_date, METH_NOARGS, current_date_doc},
    {"mailbox_checks", mailbox_checks, METH_O, mailbox_checks_doc},
    {"mailbox_action", (PyCFunction)(void (*)(void))mailbox_action, METH_FASTCALL,
     mailbox_action_doc},
    {NULL, NULL, 0, NULL},
};

PyDoc_STRVAR(module_doc,
"Read the sender's identity out of Internet mail, with libhdx.\n\n"
"Every function takes bytes, bytearray, memoryview (contiguous) or str, and answers in the\n"
"same family: bytes for bytes-like input, str for str. A str goes to the library as UTF-8\n"
"with surrogateescape, so a header field that the email package holds as str comes back\n"
"byte for byte; positions and lengths count bytes, or characters for a str. The _in_place\n"
"functions take a bytearray and change it exactly as the C library changes its buffer.\n"
"Inputs of 4 GiB or more raise ValueError. The functions keep no state and may be called\n"
"from many threads; long inputs are worked on without the GIL.\n\n"
"    >>> hdx.sender_address(b'From: Ann <ann@example.org>\\r\\n')\n"
"    b'ann@example.org'\n"
"    >>> hdx.sender_ip('Received: from mx (mx [192.0.2.25]) by x\\r\\n')\n"
"    '192.0.2.25'\n");

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "hdx", module_doc, 0, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_hdx(void) { return PyModule_Create(&module); }

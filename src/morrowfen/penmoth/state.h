// The process state of morrowfen.penmoth, in one struct. The module loads
// into one interpreter per process, so its state lives as long as the
// process and is never destroyed (mf::ProcessState, runtime/ref.h).
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

#include "../framework_types/contents.h"
#include "../framework_types/cookies.h"
#include "../framework_types/messages.h"
#include "../runtime/ref.h"

namespace mf::penmoth {

// One lookup table: the dict, and an index over the same entries by their
// text. A key that is exactly str or bytes is found through the index, by
// length and bytes: no hash of the key object (the server's strings are new
// on every request, so their hash is never cached) and no Python code. The
// dict serves every other key, so a subclass's __hash__ and __eq__ still
// decide for it. The index borrows the dict's values: the dict is private,
// never changed after start-up and lives for the process.
struct TextTable {
  static constexpr std::size_t slots = 64;  // a power of two, over twice the largest table
  struct Slot {
    const char* text = nullptr;  // static storage; nullptr: empty slot
    std::size_t size = 0;
    PyObject* value = nullptr;
  };

  Ref dict;
  bool str_keys = false;  // the dict's keys are str (else bytes)
  std::array<Slot, slots> index{};
  std::uint64_t sizes = 0;  // bit n: some text has n bytes; no text has 64 or more

  static constexpr std::size_t slot_of(std::string_view text) noexcept {
    auto at = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(text[i])); };
    return (text.size() * 31 + at(0) * 7 + at(text.size() / 2) * 3 + at(text.size() - 1)) & (slots - 1);
  }

  // The value stored for `text`, borrowed, or nullptr.
  PyObject* find(std::string_view text) const noexcept {
    if (text.size() >= 64 || !(sizes >> text.size() & 1)) return nullptr;
    for (std::size_t i = slot_of(text);; i = (i + 1) & (slots - 1)) {
      const Slot& s = index[i];
      if (!s.text) return nullptr;
      if (s.size == text.size() && std::memcmp(s.text, text.data(), text.size()) == 0) return s.value;
    }
  }

  // Start-up only: `text` must have static storage, be 1 to 63 bytes, and
  // `value` be held by the dict.
  void add(const char* text, std::size_t size, PyObject* value) noexcept {
    std::size_t i = slot_of({text, size});
    while (index[i].text) i = (i + 1) & (slots - 1);
    index[i] = {text, size, value};
    sizes |= std::uint64_t{1} << size;
  }

  void reset() noexcept {
    dict = Ref::none();
    index = {};
    sizes = 0;
  }
};

// The content types with a ready-made RSGI header list, in table order.
inline constexpr const char* prebuilt_content_types[] = {
    "application/json", "text/plain; charset=utf-8", "text/plain", "text/html; charset=utf-8", "text/html",
};

// The value of MAX_RESPONSE_CHUNK_SIZE.
inline constexpr std::int32_t max_response_chunk_size = 61440;

// The fixed lookup tables: header texts in both their bytes and str forms,
// and the ready-made RSGI header lists.
struct Tables {
  TextTable known_headers;     // str header name -> bytes
  TextTable header_val_bytes;  // str header value -> bytes
  Ref empty_headers;           // []
  // bytes content type -> its prebuilt RSGI header list, e.g.
  // b"application/json" -> [("content-type", "application/json")]; the
  // dict holds the lists
  TextTable static_headers_by_ct_bytes;
  TextTable known_outbound_header_name_str;  // bytes header name -> str
  TextTable known_outbound_header_val_str;   // bytes header value -> str
  TextTable ct_str_cache;                    // bytes content type -> str
};

struct PenmothState {
  // --- bound from the sibling modules at start-up, used by the operations
  // (the types are type objects)
  Ref Content, StreamedContent, RSGIContent, ServerSentEvent, Cookie, Response, FileContent;
  messages::acquire_request_fn* acquire_request = nullptr;
  cookies::write_cookie_for_response_fn* write_cookie_for_response = nullptr;
  contents::open_file_fn* open_file = nullptr;
  contents::read_file_part_fn* read_file_part = nullptr;

  // --- bound only so that start-up refuses a sibling that lacks them or
  // changed their layout; no operation uses them
  struct {
    Ref ASGIContent, TextContent, HTMLContent, JSONContent, FormContent, FormPart, FileBuffer, StreamedFormPart,
        TextServerSentEvent, MultiPartFormData;
    Ref type;
    Ref date, time, datetime, timedelta, tzinfo;
    Ref MessageAborted, HTTPException, BadRequest, BadRequestFormat, NotFound, InternalServerError, InvalidArgument,
        InvalidOperation, UnsupportedMediaType, UnprocessableEntity, FailedRequestError, InvalidExceptionHandler;
    Ref Header, Headers, URL, Message, Request;
  } required_types{};
  struct {
    contents::parse_www_form_urlencoded_fn* parse_www_form_urlencoded;
    cookies::datetime_to_cookie_format_fn* datetime_to_cookie_format;
    cookies::parse_cookie_fn* parse_cookie;
    messages::release_request_fn* release_request;
  } required_functions{};

  // --- the module object of this process
  std::int64_t interpreter = -1;  // the interpreter that loaded it
  Ref module;                     // forgotten again when start-up fails
  PyObject* globals = nullptr;    // its namespace, borrowed from `module`
  PyObject* builtins = nullptr;   // the builtins' namespace, borrowed (an immortal module)

  // --- built at start-up
  Tables tables;
  std::array<Ref, std::size(prebuilt_content_types)> content_type_pairs;  // the prebuilt lists' one pair each
  // The newline pattern start-up compiled, held so that its address cannot be
  // reused by another object: while _NEW_LINES_RX is still this one, a text
  // without line breaks needs no call into it.
  Ref original_newline_pattern;
  // The ASGI messages as templates with None for what varies, copied for
  // each message (copying a small dict of str keys clones its key table at
  // once; building one inserts key by key). Made on first use.
  Ref start_message_template;      // {"type": "http.response.start", "status": None, "headers": None}
  Ref ok_start_message_template;   // the same with "status": 200
  Ref body_message_template;       // {"type": "http.response.body", "body": None}
  Ref more_body_message_template;  // the same with "more_body": True
  Ref last_body_message_template;  // the same with "more_body": False
  // The content headers of an ASGI answer that repeat, made on first use
  // (response_head.cpp): by shared content type, by small length, chunked.
  std::array<std::pair<PyObject*, Ref>, 16> content_type_header_pairs{};
  std::array<Ref, 1024> content_length_header_pairs{};
  Ref chunked_header_pair;
  // max_response_chunk_size both: the exported variable, and the module's
  // own copy, which is the only one the module reads.
  std::int32_t exported_chunk_size = 0;
  std::int32_t chunk_size = 0;

  // --- files (files.cpp): the functions behind its coroutines, made at
  // start-up; asyncio.sleep and os.path.abspath, bound on first use
  Ref asgi_file_parts_fn, rsgi_file_parts_fn, rsgi_file_stream_fn;
  Ref sleep, abspath;
};

extern PenmothState& state;

}  // namespace mf::penmoth

// The answer to a FileContent, Application's part of sending a file.
//
// The file is opened first: a missing one (or a directory, or anything that
// is not a regular file) answers 404, one that may not be read 403; the
// path is logged at debug, never sent. Its validators are a strong ETag made
// of its size and modification time (nothing of the path) and Last-Modified.
// For a GET or HEAD whose response has status 200, the request's conditions
// are taken in the order of RFC 9110 §13.2.2: If-Match, If-Unmodified-Since
// (412), If-None-Match, If-Modified-Since (304), then a Range (GET only)
// under its If-Range: one byte range answers 206, several the whole file,
// none that the file can meet 416. HEAD answers the same headers without a
// body. The file then goes out through the server's own file sending where
// it offers one (RSGI response_file and response_file_range; ASGI
// http.response.pathsend, for a whole file), else in parts (penmoth's file
// coroutines), watched as any stream.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string_view>

#include "../penmoth/penmoth.h"
#include "../runtime/errors.h"
#include "../wire/header_list.h"
#include "../wire/text.h"
#include "server.h"

namespace mf::server {
namespace {

using contents::FileContent;
using contents::OpenFile;

const Str k_get{"GET"};
const Str k_head{"HEAD"};
const Str k_type{"type"};
const Str k_path{"path"};
const Str k_errno{"errno"};
const Str k_extensions{"extensions"};
const Str k_pathsend{"http.response.pathsend"};
const Str k_response_empty{"response_empty"};
const Str k_response_file{"response_file"};
const Str k_response_file_range{"response_file_range"};
const Str k_response_stream{"response_stream"};
const Bytes k_empty{""};
const Bytes k_content_type{"content-type"};
const Bytes k_content_length{"content-length"};
const Bytes k_content_range{"content-range"};
const Bytes k_accept_ranges{"accept-ranges"};
const Bytes k_bytes{"bytes"};
const Bytes k_etag{"etag"};
const Bytes k_last_modified{"last-modified"};
const Bytes k_zero{"0"};

struct FilesState {
  Ref asgi_fn, rsgi_fn;  // the functions behind the two coroutines
};
constinit ProcessState<FilesState> files_storage;
FilesState& files = *files_storage;

bool is_text(PyObject* value, const Str& text) noexcept { return wire::same_text(value, text.get()); }

// --- HTTP dates ------------------------------------------------------------------------

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back.
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
  std::int64_t year;
  unsigned month, day;
};

constexpr Civil civil_from_days(std::int64_t z) noexcept {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

constexpr const char* day_names[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};  // from 1970-01-01
constexpr std::string_view month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The IMF-fixdate of a time: "Sun, 06 Nov 1994 08:49:37 GMT".
Ref http_date(std::int64_t seconds) noexcept {
  std::int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  Civil c = civil_from_days(days);
  char text[48];
  int n = std::snprintf(text, sizeof text, "%s, %02u %.3s %04lld %02d:%02d:%02d GMT", day_names[(days % 7 + 7) % 7],
                        c.day, month_names[c.month - 1].data(), static_cast<long long>(c.year),
                        static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return Ref::steal(PyBytes_FromStringAndSize(text, n));
}

bool read_digits(std::string_view s, std::size_t at, std::size_t n, int& out) noexcept {
  if (at + n > s.size()) return false;
  out = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

bool read_month(std::string_view s, std::size_t at, unsigned& out) noexcept {
  for (unsigned m = 0; m < 12; ++m) {
    if (s.substr(at, 3) == month_names[m]) {
      out = m + 1;
      return true;
    }
  }
  return false;
}

// "hh:mm:ss" at `at`, as seconds into the day.
bool read_time(std::string_view s, std::size_t at, int& out) noexcept {
  int h = 0, m = 0, sec = 0;
  if (at + 8 > s.size() || s[at + 2] != ':' || s[at + 5] != ':' || !read_digits(s, at, 2, h) ||
      !read_digits(s, at + 3, 2, m) || !read_digits(s, at + 6, 2, sec) || h > 23 || m > 59 || sec > 60)
    return false;
  out = h * 3600 + m * 60 + (sec == 60 ? 59 : sec);
  return true;
}

// An HTTP-date in any of its three forms (RFC 9110 §5.6.7), as seconds since
// the epoch: IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"), the obsolete
// RFC 850 form ("Sunday, 06-Nov-94 08:49:37 GMT") and asctime's
// ("Sun Nov  6 08:49:37 1994"). The day's name is not checked.
std::optional<std::int64_t> parse_http_date(std::string_view s) noexcept {
  s = wire::trim_blanks(s);
  int year = 0, day = 0, time = 0;
  unsigned month = 0;
  std::size_t comma = s.find(',');
  if (comma != std::string_view::npos) {
    std::string_view r = s.substr(comma + 1);
    if (r.size() == 25 && r[0] == ' ' && r[3] == ' ' && r[7] == ' ' && r[12] == ' ' && r.substr(21) == " GMT") {
      if (!read_digits(r, 1, 2, day) || !read_month(r, 4, month) || !read_digits(r, 8, 4, year) ||
          !read_time(r, 13, time))
        return std::nullopt;
    } else if (r.size() == 23 && r[0] == ' ' && r[3] == '-' && r[7] == '-' && r[10] == ' ' && r.substr(19) == " GMT") {
      int yy = 0;
      if (!read_digits(r, 1, 2, day) || !read_month(r, 4, month) || !read_digits(r, 8, 2, yy) ||
          !read_time(r, 11, time))
        return std::nullopt;
      // A two-digit year more than 50 years ahead is the latest past year with those digits.
      std::time_t now = std::time(nullptr);
      int this_year = static_cast<int>(civil_from_days(static_cast<std::int64_t>(now) / 86400).year);
      year = this_year - this_year % 100 + yy;
      if (year > this_year + 50) year -= 100;
    } else {
      return std::nullopt;
    }
  } else {
    if (s.size() != 24 || s[3] != ' ' || s[7] != ' ' || s[10] != ' ' || s[19] != ' ' || !read_month(s, 4, month) ||
        !read_time(s, 11, time) || !read_digits(s, 20, 4, year))
      return std::nullopt;
    if (!(s[8] == ' ' ? read_digits(s, 9, 1, day) : read_digits(s, 8, 2, day))) return std::nullopt;
  }
  if (month < 1 || day < 1 || day > 31) return std::nullopt;
  std::int64_t days = days_from_civil(year, month, static_cast<unsigned>(day));
  Civil check = civil_from_days(days);
  if (check.month != month || check.day != static_cast<unsigned>(day)) return std::nullopt;  // 31 April, say
  return days * 86400 + time;
}

// --- the request's conditions ------------------------------------------------------------

// The values of the request's header `name` (lower-case), a list of bytes:
// through the intake's own lookup while the headers are not made.
Ref header_values(Request* r, std::string_view name) noexcept {
  if (r->pending & messages::part_headers && r->intake && r->intake->values) {
    Ref values = r->intake->values(r, name.data(), static_cast<Py_ssize_t>(name.size()), false);
    if (values || PyErr_Occurred()) return values;
  }
  if (messages::make_parts(r, messages::part_headers) < 0) return {};
  Ref list = r->base.raw_headers.copy();
  if (!PyList_Check(list.get())) return Ref::steal(PyList_New(0));
  return header_list::values(list.get(), name);
}

// The one value of a header that a request may give once (a list of two is
// no valid value: ignored), viewed in its bytes; valid while `values` lives.
std::optional<std::string_view> single(const Ref& values) noexcept {
  if (!PyList_Check(values.get()) || PyList_GET_SIZE(values.get()) != 1) return std::nullopt;
  PyObject* value = PyList_GET_ITEM(values.get(), 0);
  if (!PyBytes_Check(value)) return std::nullopt;
  return wire::bytes_view(value);
}

// Whether a list of entity tags (If-Match, If-None-Match; each value of the
// header a comma-separated list) names `etag`; "*" names any. Weak
// comparison (If-None-Match) compares a W/ tag by its opaque part, strong
// comparison (If-Match) never matches a weak one. A malformed list matches
// nothing.
bool tags_match(const Ref& values, std::string_view etag, bool weak) noexcept {
  for (Py_ssize_t v = 0; v < PyList_GET_SIZE(values.get()); ++v) {
    PyObject* value = PyList_GET_ITEM(values.get(), v);
    if (!PyBytes_Check(value)) continue;
    std::string_view list = wire::trim_blanks(wire::bytes_view(value));
    if (list == "*") return true;
    std::size_t i = 0;
    while (i < list.size()) {
      if (list[i] == ' ' || list[i] == '\t' || list[i] == ',') {
        ++i;
        continue;
      }
      bool is_weak = list.substr(i, 2) == "W/";
      if (is_weak) i += 2;
      std::size_t close = i < list.size() && list[i] == '"' ? list.find('"', i + 1) : std::string_view::npos;
      if (close == std::string_view::npos) break;
      if (list.substr(i, close + 1 - i) == etag && (weak || !is_weak)) return true;
      i = close + 1;
    }
  }
  return false;
}

// One byte range of a file, from `first` to `last` inclusive.
struct ByteRange {
  std::int64_t first = 0, last = 0;
};

enum class Ranges : unsigned char {
  ignored,        // not a valid bytes range set (or an empty file): the whole file
  one,            // one range the file can meet: 206
  several,        // more than one: the whole file
  unsatisfiable,  // none the file can meet: 416
};

// A digits-only number; values past int64 are taken as the largest.
bool read_number(std::string_view s, std::int64_t& out) noexcept {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), out);
  if (error == std::errc::result_out_of_range) out = INT64_MAX;
  return true;
}

// A Range header (RFC 9110 §14.2) against a file of `size` bytes.
Ranges parse_range(std::string_view value, std::int64_t size, ByteRange& range) noexcept {
  value = wire::trim_blanks(value);
  if (value.size() < 6 || !header_list::same_name(value.substr(0, 6), "bytes=") || size == 0) return Ranges::ignored;
  value.remove_prefix(6);
  int met = 0;
  while (!value.empty()) {
    std::size_t comma = value.find(',');
    std::string_view one = wire::trim_blanks(value.substr(0, comma));
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    if (one.empty()) continue;
    std::size_t dash = one.find('-');
    if (dash == std::string_view::npos) return Ranges::ignored;
    std::string_view a = one.substr(0, dash), b = one.substr(dash + 1);
    ByteRange r;
    if (a.empty()) {  // the last b bytes
      std::int64_t suffix = 0;
      if (!read_number(b, suffix)) return Ranges::ignored;
      if (suffix == 0) continue;
      r = {suffix >= size ? 0 : size - suffix, size - 1};
    } else {
      std::int64_t first = 0, last = INT64_MAX;
      if (!read_number(a, first) || (!b.empty() && !read_number(b, last))) return Ranges::ignored;
      if (last < first) return Ranges::ignored;
      if (first >= size) continue;
      r = {first, last < size ? last : size - 1};
    }
    if (++met == 1) range = r;
  }
  return met == 0 ? Ranges::unsatisfiable : met == 1 ? Ranges::one : Ranges::several;
}

// --- the answer ---------------------------------------------------------------------------

// A file's validators, as opened: a strong ETag of its size and
// modification time, and that time in whole seconds (Last-Modified), never
// later than now: a date in the future, sent back in If-Modified-Since,
// would hide the file's next change until the clock passed it.
struct Validators {
  char tag[48];
  int tag_size;
  std::int64_t modified;

  explicit Validators(const OpenFile* file) noexcept
      : tag_size(std::snprintf(tag, sizeof tag, "\"%llx-%llx\"", static_cast<unsigned long long>(file->size),
                               static_cast<unsigned long long>(file->mtime_ns))),
        modified(std::min<std::int64_t>(file->mtime_ns / 1000000000 - (file->mtime_ns % 1000000000 < 0),
                                        static_cast<std::int64_t>(std::time(nullptr)))) {}
  std::string_view etag() const noexcept { return {tag, static_cast<std::size_t>(tag_size)}; }
};

// The status the request's conditions give a GET or HEAD of the file, in
// the order of RFC 9110 §13.2.2: 412 (If-Match, If-Unmodified-Since), 304
// (If-None-Match, If-Modified-Since), then for a GET its Range under
// If-Range: 206 (`range` set), 416, or 200 for the whole file. -1 with an
// exception set.
int evaluate(Request* request, bool get, const Validators& v, std::int64_t size, ByteRange& range) noexcept {
  Ref if_match = header_values(request, "if-match");
  Ref if_unmodified = if_match ? header_values(request, "if-unmodified-since") : Ref();
  Ref if_none_match = if_unmodified ? header_values(request, "if-none-match") : Ref();
  Ref if_modified = if_none_match ? header_values(request, "if-modified-since") : Ref();
  Ref ranges = if_modified ? header_values(request, "range") : Ref();
  Ref if_range = ranges ? header_values(request, "if-range") : Ref();
  if (!if_range) return -1;
  std::optional<std::int64_t> date;
  if (PyList_GET_SIZE(if_match.get()) > 0) {
    if (!tags_match(if_match, v.etag(), false)) return 412;
  } else if (auto text = single(if_unmodified); text && (date = parse_http_date(*text)) && v.modified > *date) {
    return 412;
  }
  if (PyList_GET_SIZE(if_none_match.get()) > 0) {
    if (tags_match(if_none_match, v.etag(), true)) return 304;
  } else if (auto text = single(if_modified); text && (date = parse_http_date(*text)) && v.modified <= *date) {
    return 304;
  }
  auto range_text = single(ranges);
  if (!get || !range_text) return 200;
  // If-Range: the range holds only for the file the client names (its
  // strong ETag, or its Last-Modified exactly); else the whole file goes.
  if (PyList_GET_SIZE(if_range.get()) > 0) {
    auto condition = single(if_range);
    if (!condition) return 200;
    if (condition->starts_with("\"") || condition->starts_with("W/")) {
      if (wire::trim_blanks(*condition) != v.etag()) return 200;
    } else if (!(date = parse_http_date(*condition)) || *date != v.modified) {
      return 200;
    }
  }
  switch (parse_range(*range_text, size, range)) {
    case Ranges::one: return 206;
    case Ranges::unsatisfiable: return 416;
    default: return 200;
  }
}

// What goes out: the status, the header list (bytes pairs: the response's
// own, then the file's), and the bytes of the file sent, if any.
struct Plan {
  int status = 200;
  bool body = false;  // bytes [start, start + count) of the file; else no body (HEAD, 304, 412, 416)
  std::int64_t start = 0, count = 0;
  bool typed = false;  // the file's Content-Type belongs to the answer
  Ref headers;
};

// The pair (name, value), appended.
int append(PyObject* list, PyObject* name, Ref value) noexcept {
  Ref pair = value ? Ref::steal(PyTuple_Pack(2, name, value.get())) : Ref();
  return pair ? PyList_Append(list, pair.get()) : -1;
}

Ref formatted(const char* format, long long a, long long b = 0, long long c = 0) noexcept {
  char text[96];
  int n = std::snprintf(text, sizeof text, format, a, b, c);
  return Ref::steal(PyBytes_FromStringAndSize(text, n));
}

// The response's own headers as a new list: on ASGI checked as the ASGI
// sender checks them (pairs of bytes, by the header rule); on RSGI as they
// are, for penmoth's RSGI conversion to check.
Ref own_headers(Gateway gateway, Response* response) noexcept {
  if (gateway == Gateway::asgi) {
    Ref checked = penmoth::asgi_checked_headers(response);
    return checked ? Ref::steal(PySequence_List(checked.get())) : Ref();
  }
  Ref raw = response->base.raw_headers.copy();
  return raw.is_none() ? Ref::steal(PyList_New(0)) : Ref::steal(PySequence_List(raw.get()));
}

// The file's headers after the response's own. The Content-Type is added
// here on ASGI only when the response names none (penmoth's RSGI
// conversion does the same from the content).
int add_file_headers(Gateway gateway, const Plan& plan, PyObject* content, std::int64_t size, const Validators& v,
                     bool validated) noexcept {
  PyObject* list = plan.headers.get();
  switch (plan.status) {
    case 304:  // the validators only: the client has the rest
      return append(list, k_etag, wire::bytes_from(v.etag())) < 0 ||
                     append(list, k_last_modified, http_date(v.modified)) < 0
                 ? -1
                 : 0;
    case 412: return append(list, k_content_length, Ref::borrow(k_zero));
    case 416:
      return append(list, k_content_range, formatted("bytes */%lld", size)) < 0 ||
                     append(list, k_content_length, Ref::borrow(k_zero)) < 0
                 ? -1
                 : 0;
    default: break;
  }
  if (gateway == Gateway::asgi) {
    bool failed = false;
    PyObject* named = header_list::first(list, "content-type", failed);
    if (failed) return -1;
    if (!named && append(list, k_content_type, penmoth::content_type_value(reinterpret_cast<Content*>(content))) < 0)
      return -1;
  }
  if (append(list, k_content_length, penmoth::length_value(plan.count)) < 0) return -1;
  if (plan.status == 206 &&
      append(list, k_content_range, formatted("bytes %lld-%lld/%lld", plan.start, plan.start + plan.count - 1, size)) <
          0)
    return -1;
  if (!validated) return 0;
  return append(list, k_accept_ranges, Ref::borrow(k_bytes)) < 0 ||
                 append(list, k_etag, wire::bytes_from(v.etag())) < 0 ||
                 append(list, k_last_modified, http_date(v.modified)) < 0
             ? -1
             : 0;
}

// Decides the answer and makes its headers: 0, or -1 with an exception set.
// The validators and conditions belong to a response of status 200; a
// response of another status (a page for an error, say) sends the file as
// it is.
int plan_answer(Gateway gateway, Request* request, Response* response, PyObject* content, const OpenFile* file,
                Plan& plan) noexcept {
  if (messages::make_parts(request, messages::part_method) < 0) return -1;
  Ref method = request->method.copy();
  bool get = is_text(method.get(), k_get), head = !get && is_text(method.get(), k_head);
  bool validated = response->status == 200;
  Validators v(file);
  ByteRange range{0, file->size - 1};
  plan.status = validated && (get || head) ? evaluate(request, get, v, file->size, range) : response->status;
  if (plan.status < 0) return -1;
  bool whole = plan.status == response->status, ranged = plan.status == 206;
  plan.body = (whole || ranged) && !head;
  plan.typed = whole || ranged;
  plan.start = ranged ? range.first : 0;
  plan.count = ranged ? range.last - range.first + 1 : file->size;
  plan.headers = own_headers(gateway, response);
  if (!plan.headers) return -1;
  return add_file_headers(gateway, plan, content, file->size, v, validated);
}

// The answer to a file that could not be opened (the OSError pending): 404
// for one that is not there or is no regular file, 403 for one that may not
// be read, else 500. The path is logged, never sent. Empty with the
// exception still set when it must propagate.
Ref open_failure(PyObject* content) noexcept {
  Ref error = Ref::steal(PyErr_GetRaisedException());
  if (!error || !PyErr_GivenExceptionMatches(error.get(), PyExc_Exception)) {
    PyErr_SetRaisedException(error.release());
    return {};
  }
  Ref path = reinterpret_cast<FileContent*>(content)->path.copy();
  int code = 0;
  if (PyErr_GivenExceptionMatches(error.get(), PyExc_OSError)) {
    Ref number = Ref::steal(PyObject_GetAttr(error.get(), k_errno));
    code = number && PyLong_Check(number.get()) ? PyLong_AsInt(number.get()) : 0;
    PyErr_Clear();
  }
  switch (code) {
    case ENOENT:
    case ENOTDIR:
    case EISDIR:
    case ELOOP:
    case ENAMETOOLONG:
    case ENXIO:
      log("debug", "no file to send at %r (%s); answered 404", nullptr, {path.get(), error.get()});
      return text_response(404, "Not Found");
    case EACCES:
    case EPERM:
      log("debug", "the file at %r may not be read; answered 403", nullptr, {path.get()});
      return text_response(403, "Forbidden");
    default:
      log("error", "the file at %r could not be opened; answered 500", error.get(), {path.get()});
      return text_response(500, "Internal Server Error");
  }
}

// The path the server opens itself, when it offers to (ASGI: the scope's
// extensions name http.response.pathsend). Empty without an exception when
// the file goes in parts.
Ref pathsend_path(PyObject* scope, PyObject* content, PyObject* file) noexcept {
  PyObject* found = nullptr;
  if (!PyDict_Check(scope) || PyDict_GetItemRef(scope, k_extensions, &found) <= 0) return {};
  Ref extensions = Ref::steal(found);
  int offered = PyDict_Check(extensions.get()) ? PyDict_Contains(extensions.get(), k_pathsend) : 0;
  if (offered <= 0) return {};
  return penmoth::server_path(content, file);
}

// --- ASGI --------------------------------------------------------------------------------

struct AsgiFile {
  Ref app, scope, receive, send, request, response;  // the parameters
  Ref content, file, head, path, watch, error;
};

void begin_asgi_watch(void* locals) noexcept {
  auto& L = *static_cast<AsgiFile*>(locals);
  watch_begin(L.watch.get(), L.request.as<Request>());
}

Await send_message(const Ref& send, Ref message) noexcept {
  if (!message) return await(Ref());
  return await(Ref::steal(PyObject_CallOneArg(send.get(), message.get())));
}

Ref pathsend_message(PyObject* path) noexcept {
  Ref message = Ref::steal(PyDict_New());
  if (!message || PyDict_SetItem(message.get(), k_type, k_pathsend) < 0 ||
      PyDict_SetItem(message.get(), k_path, path) < 0)
    return {};
  return message;
}

CoroutineBody asgi_file_body(AsgiFile& L) {
  Core* core = core_of(L.app.get());
  if (!core) co_return {};
  L.content = L.response.as<Response>()->base.content.copy();
  L.file = penmoth::open_file(L.content.get());
  if (!L.file) {
    Ref answer = open_failure(L.content.get());
    if (!answer) co_return {};
    PyObject* args[] = {answer.get(), L.send.get()};
    Ref pending = Ref::steal(PyObject_Vectorcall(state.send_asgi_response.get(), args, 2, nullptr));
    answer.reset();
    co_return co_await await(std::move(pending));
  }
  Plan plan;
  int planned = plan_answer(Gateway::asgi, L.request.as<Request>(), L.response.as<Response>(), L.content.get(),
                            L.file.as<OpenFile>(), plan);
  L.head = planned == 0 ? penmoth::asgi_start_message(plan.status, plan.headers.get()) : Ref();
  plan.headers.reset();
  if (!L.head) co_return {};

  if (!plan.body) {
    bool sent = static_cast<bool>(co_await send_message(L.send, std::move(L.head)));
    if (!sent) co_return {};
    co_return co_await send_message(L.send, penmoth::asgi_body_message(k_empty, -1));
  }
  L.path = plan.status != 206 ? pathsend_path(L.scope.get(), L.content.get(), L.file.get()) : Ref();
  if (PyErr_Occurred()) co_return {};
  L.content.reset();
  if (L.path) {
    // The server sends the file itself (it opens the path again).
    bool sent = static_cast<bool>(co_await send_message(L.send, std::move(L.head)));
    if (!sent) co_return {};
    co_return co_await send_message(L.send, pathsend_message(L.path.get()));
  }

  // In parts, watched as any stream.
  L.watch = watch_new(Gateway::asgi, core, L.receive.get());
  if (!L.watch) co_return {};
  co_await on_first_suspend(begin_asgi_watch, &L);
  bool started = static_cast<bool>(co_await send_message(L.send, std::move(L.head)));
  if (started) {
    Ref parts = penmoth::asgi_file_parts(L.send.get(), L.file.get(), plan.start, plan.count);
    Ref done = co_await await(std::move(parts));
  }
  co_await on_first_suspend(nullptr, nullptr);
  L.error = Ref::steal(PyErr_GetRaisedException());
  After after = after_stream(L.watch.get(), L.error, started, Gateway::asgi);
  L.watch.reset();
  if (after == After::send_failed || after == After::propagate) {
    PyErr_SetRaisedException(L.error.release());
    co_return {};
  }
  // Ended early when the server stops: a file's length cannot be met
  // sooner, so the response is left unfinished (the server closes it).
  co_return Ref::none();
}

// --- RSGI --------------------------------------------------------------------------------

struct RsgiFile {
  Ref app, protocol, request, response;  // the parameters
  Ref file, status, headers, transport, watch, error;
};

void begin_rsgi_watch(void* locals) noexcept {
  auto& L = *static_cast<RsgiFile*>(locals);
  watch_begin(L.watch.get(), nullptr);
}

// protocol.NAME(*args): 1 when it answered, 0 when the protocol has no such
// method and it is `optional` (the server's file sending), -1 with an
// exception set.
int protocol_call(PyObject* protocol, PyObject* name, std::initializer_list<PyObject*> args, bool optional) noexcept {
  PyObject* method = nullptr;
  if (optional) {
    int found = PyObject_GetOptionalAttr(protocol, name, &method);
    if (found <= 0) return found;
  } else if (!(method = PyObject_GetAttr(protocol, name))) {
    return -1;
  }
  Ref call = Ref::steal(method);
  Ref done = Ref::steal(PyObject_Vectorcall(call.get(), args.begin(), args.size(), nullptr));
  return done ? 1 : -1;
}

// What the RSGI answer came to without waiting.
enum class AtOnce : unsigned char { answered, in_parts, propagate };

// The answers of one protocol call: a file that cannot be opened, an answer
// without a body (HEAD, 304, 412, 416), the file sent by the server. What
// is left (`in_parts`) leaves its status and headers in L. An answer that
// fails before anything went out gets 500 in its place.
AtOnce answer_at_once(RsgiFile& L, Plan& plan) noexcept {
  Ref content = L.response.as<Response>()->base.content.copy();
  L.file = penmoth::open_file(content.get());
  int made = -1;
  if (!L.file) {
    Ref answer = open_failure(content.get());
    if (!answer) return AtOnce::propagate;
    made = penmoth::send_rsgi_response_sync_impl(answer.get(), L.protocol.get()) ? 1 : -1;
  } else if (plan_answer(Gateway::rsgi, L.request.as<Request>(), L.response.as<Response>(), content.get(),
                         L.file.as<OpenFile>(), plan) == 0) {
    L.headers = penmoth::rsgi_headers(plan.headers.get(), plan.typed ? content.get() : Py_None);
    plan.headers.reset();
    L.status = L.headers ? Ref::steal(PyLong_FromLong(plan.status)) : Ref();
    Ref path = L.status && plan.body ? penmoth::server_path(content.get(), L.file.get()) : Ref();
    PyObject* protocol = L.protocol.get();
    if (!L.status || PyErr_Occurred()) {
      made = -1;
    } else if (!plan.body) {
      made = protocol_call(protocol, k_response_empty, {L.status.get(), L.headers.get()}, false);
    } else if (!path) {
      made = 0;  // a name that is not UTF-8: no server can be given it
    } else if (plan.status != 206) {
      made = protocol_call(protocol, k_response_file, {L.status.get(), L.headers.get(), path.get()}, true);
    } else {
      // response_file_range's end is exclusive
      Ref first = Ref::steal(PyLong_FromLongLong(plan.start));
      Ref end = first ? Ref::steal(PyLong_FromLongLong(plan.start + plan.count)) : Ref();
      made = end ? protocol_call(protocol, k_response_file_range,
                                 {L.status.get(), L.headers.get(), path.get(), first.get(), end.get()}, true)
                 : -1;
    }
  }
  if (made >= 0) return made ? AtOnce::answered : AtOnce::in_parts;
  Ref error = Ref::steal(PyErr_GetRaisedException());
  if (!PyErr_GivenExceptionMatches(error.get(), PyExc_Exception)) {
    PyErr_SetRaisedException(error.release());
    return AtOnce::propagate;
  }
  rsgi_send_failed(L.protocol.get(), error.get());
  return AtOnce::answered;
}

CoroutineBody rsgi_file_body(RsgiFile& L) {
  Core* core = core_of(L.app.get());
  if (!core) co_return {};
  Plan plan;
  AtOnce at_once = answer_at_once(L, plan);
  if (at_once == AtOnce::propagate) co_return {};
  if (at_once == AtOnce::answered) co_return Ref::none();

  // In parts through a stream, watched as any stream.
  L.watch = watch_new(Gateway::rsgi, core, L.protocol.get());
  if (!L.watch) co_return {};
  co_await on_first_suspend(begin_rsgi_watch, &L);
  PyObject* args[] = {L.protocol.get(), L.status.get(), L.headers.get()};
  Ref opened =
      Ref::steal(PyObject_VectorcallMethod(k_response_stream, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  bool started = static_cast<bool>(opened);
  L.headers.reset();
  if (opened && is_awaitable(opened.get())) {
    L.transport = co_await await(std::move(opened));
  } else {
    L.transport = std::move(opened);
  }
  if (L.transport) {
    Ref parts = penmoth::rsgi_file_parts(L.transport.get(), L.file.get(), plan.start, plan.count);
    Ref done = co_await await(std::move(parts));
  }
  co_await on_first_suspend(nullptr, nullptr);
  L.transport.reset();
  L.error = Ref::steal(PyErr_GetRaisedException());
  After after = after_stream(L.watch.get(), L.error, started, Gateway::rsgi);
  L.watch.reset();
  if (after == After::send_failed) rsgi_send_failed(L.protocol.get(), L.error.get());
  if (after == After::propagate) {
    PyErr_SetRaisedException(L.error.release());
    co_return {};
  }
  co_return Ref::none();
}

const Param p_asgi[] = {{"app"}, {"scope"}, {"receive"}, {"send"}, {"request"}, {"response"}};
const Param p_rsgi[] = {{"app"}, {"protocol"}, {"request"}, {"response"}};
const FunctionDef file_functions[] = {
    {"serve_file", p_asgi, Kind::coroutine, nullptr, body_py<asgi_file_body>},
    {"serve_file", p_rsgi, Kind::coroutine, nullptr, body_py<rsgi_file_body>},
};
Ref* const file_function_slots[] = {&files.asgi_fn, &files.rsgi_fn};

}  // namespace

Ref answer_file_asgi(PyObject* app, PyObject* scope, PyObject* receive, PyObject* send, PyObject* request,
                     PyObject* response) noexcept {
  PyObject* args[] = {app, scope, receive, send, request, response};
  return Ref::steal(start(files.asgi_fn.get(), args, asgi_file_body));
}

Ref answer_file_rsgi(PyObject* app, PyObject* protocol, PyObject* request, PyObject* response) noexcept {
  PyObject* args[] = {app, protocol, request, response};
  return Ref::steal(start(files.rsgi_fn.get(), args, rsgi_file_body));
}

int ready_files(PyObject* globals, PyObject* module_name) noexcept {
  for (std::size_t i = 0; i < std::size(file_functions); ++i) {
    if (*file_function_slots[i]) continue;
    *file_function_slots[i] = make_function(file_functions[i], "morrowfen/_server/files.cpp", globals, module_name);
    if (!*file_function_slots[i]) return -1;
  }
  return 0;
}

}  // namespace mf::server

// Sinks and sources, error reports and the writers.
#include "text/text.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "machine/machine.h"

namespace korvo {

namespace {

// One output record being built; room for the widest record and its line end.
constexpr int LINE_LENGTH = 4096;

// Writes whole records. When the system takes only part of them (a full
// disk), a file is cut back to the records it held before, so that it never
// ends in part of a line; the console is left as it is.
bool put_records(Sink& out, const char* p, std::size_t n) {
  if (std::fwrite(p, 1, n, out.file) == n) {
    out.written += static_cast<long long>(n);
    return true;
  }
  const int error = errno;
  // Best effort: the report names the first failure either way.
  if (!out.console) static_cast<void>(::ftruncate(::fileno(out.file), out.written) == 0);
  errno = error;
  return false;
}

// Hands the held records to the file.
void flush_held(Sink& out) {
  const std::size_t wanted = static_cast<std::size_t>(out.held);
  out.held = 0;
  if (wanted > 0 && !put_records(out, out.buffer.get(), wanted))
    file_error("cannot write", out.name, errno);
}

// A sink holding its records for a file not yet created: twice the room.
void grow(Sink& out) {
  if (out.size > (INT_MAX - LINE_LENGTH) / 2) throw Error(std::string(out.name) + ": too large");
  const int size = 2 * out.size + LINE_LENGTH;
  auto bigger = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(size));
  std::memcpy(bigger.get(), out.buffer.get(), static_cast<std::size_t>(out.held));
  out.buffer = std::move(bigger);
  out.size = size;
}

// The record is built in the sink's buffer when it has one, where it counts
// only once emitted whole, else in the line's own characters.
struct Line {
  char* c;
  int n = 0;
  char own[LINE_LENGTH + 2];

  explicit Line(Sink& out) { start(out); }
  void start(Sink& out) {
    n = 0;
    c = own;
    if (!out.buffer) return;
    if (out.held + LINE_LENGTH + 2 > out.size) out.file ? flush_held(out) : grow(out);
    c = out.buffer.get() + out.held;
  }
};

void room(const Line& line, int w) {
  if (w < 0 || line.n + w > LINE_LENGTH) throw Error("output record longer than 4096 characters");
}

// The console drops the carriage-control character and ends with LF; a file
// keeps every character and ends with CR LF. A record goes to the file whole
// (into the sink's buffer, or one fwrite), so a file never holds part of a
// line.
void emit(Sink& out, Line& line) {
  char* start = line.c;
  int n = line.n;
  if (out.console) {
    if (n > 0) ++start, --n;
    start[n++] = '\n';
  } else {
    start[n++] = '\r';
    start[n++] = '\n';
  }
  if (out.buffer) {
    out.held += n;
  } else {
    if (!put_records(out, start, static_cast<std::size_t>(n)))
      file_error("cannot write", out.name, errno);
  }
  line.start(out);
}

void put_text(Line& line, std::string_view text) {
  // A doubled apostrophe inside a layout's text stands for one.
  for (std::size_t k = 0; k < text.size(); ++k) {
    room(line, 1);
    line.c[line.n++] = text[k];
    if (text[k] == '\'' && k + 1 < text.size() && text[k + 1] == '\'') ++k;
  }
}

void put_value(Line& line, const LayoutItem& f, const Item& v) {
  using K = Item::Kind;
  char* out = line.c + line.n;
  if (f.code == 'A') {
    if (v.kind != K::Text) throw Error("layout field A given a number");
    const int len = static_cast<int>(v.s.size());
    const int w = f.w > 0 ? f.w : len;
    room(line, w);
    const int shown = len < w ? len : w;
    std::memset(out, ' ', static_cast<std::size_t>(w - shown));
    std::memcpy(out + (w - shown), v.s.data(), static_cast<std::size_t>(shown));
    line.n += w;
    return;
  }
  room(line, f.w);
  if (f.code == 'I' && v.kind == K::Int) {
    line.n += detail::put_I(out, v.i, f.w);
  } else if (f.code != 'I' && v.kind == K::Real) {
    line.n += f.code == 'E' ? detail::put_E(out, v.r, f.w, f.d) : detail::put_F(out, v.r, f.w, f.d);
  } else {
    throw Error("layout field does not match its value");
  }
}

// Every computation checks for faults before it writes; should one slip
// through, a file still never shows NaN or Inf.
void finite_or_stop(const Sink& out, const Item& v) {
  if (v.kind != Item::Kind::Real || std::isfinite(v.r)) return;
  throw Error(std::string(out.name) + ": a value to be written is not finite");
}

}  // namespace

Sink::~Sink() {
  if (file == nullptr || console) return;
  if (held > 0) put_records(*this, buffer.get(), static_cast<std::size_t>(held));
  std::fclose(file);
}

Source::Source(Source&& o) noexcept
    : file(o.file),
      name(o.name),
      console(o.console),
      line(o.line),
      value_line(o.value_line),
      length(o.length),
      pos(o.pos),
      more(o.more),
      at_end(o.at_end),
      offset(o.offset) {
  std::memcpy(record, o.record, sizeof record);
  o.file = nullptr;
}

Source::~Source() {
  if (file != nullptr && !console) std::fclose(file);
}

Sink console_out(std::FILE* f) { return Sink{f, "the console", true}; }

Source console_in(const char* question, std::FILE* f) {
  Source in;
  in.file = f;
  in.name = question;
  in.console = true;
  return in;
}

void file_error(const char* action, const char* name, int error) {
  throw Error(std::string(action) + " " + name + ": " + std::strerror(error));
}

void open_input(Source& in, const char* name) {
  close_input(in);
  // fopen accepts a directory on some systems and fails only at the first read.
  std::error_code ec;
  if (std::filesystem::is_directory(name, ec)) file_error("cannot open", name, EISDIR);
  std::FILE* f = std::fopen(name, "rb");
  if (f == nullptr) file_error("cannot open", name, errno);
  in.file = f;
  in.name = name;
  in.console = false;
  in.line = 0;
  in.length = 0;
  in.pos = 0;
  in.more = in.at_end = false;
  in.offset = 0;
}

void create_output(Sink& out, const char* name) {
  std::FILE* f = std::fopen(name, "wb");
  if (f == nullptr) file_error("cannot create", name, errno);
  // The sink's own buffer holds whole records; the stream's would only copy them again.
  std::setvbuf(f, nullptr, _IONBF, 0);
  const bool holding = out.file == nullptr && out.buffer;
  out.name = name;
  out.console = false;
  out.file = f;
  out.written = 0;
  if (holding) {
    // What was held goes first, at once; the records still to come use the
    // start of the buffer, as much of it as a file's buffer.
    flush_held(out);
    out.size = std::min(out.size, SINK_BUFFER);
    return;
  }
  out.held = 0;
  if (!out.buffer) {
    out.buffer = std::make_unique_for_overwrite<char[]>(SINK_BUFFER);
    out.size = SINK_BUFFER;
    prefault(out.buffer.get(), SINK_BUFFER);
  }
}

void hold_output(Sink& out, const char* name, std::size_t bytes) {
  // Room for the records and the one being built after them.
  const std::size_t size =
      std::clamp<std::size_t>(bytes + LINE_LENGTH + 2, SINK_BUFFER, INT_MAX / 2);
  out.file = nullptr;
  out.name = name;
  out.console = false;
  out.buffer = std::make_unique_for_overwrite<char[]>(size);
  out.size = static_cast<int>(size);
  out.held = 0;
  prefault(out.buffer.get(), size);
}

void close_input(Source& in) {
  if (in.file != nullptr && !in.console) std::fclose(in.file);
  in.file = nullptr;
}

void close_output(Sink& out) {
  if (out.file == nullptr || out.console) return;
  std::FILE* f = out.file;
  out.file = nullptr;
  errno = 0;
  const std::size_t held = static_cast<std::size_t>(out.held);
  out.held = 0;
  out.file = f;  // for put_records
  bool failed = held > 0 && !put_records(out, out.buffer.get(), held);
  out.file = nullptr;
  failed = std::fflush(f) != 0 || std::ferror(f) != 0 || failed;
  const int error = errno;
  if (std::fclose(f) != 0 || failed) file_error("cannot write", out.name, error ? error : EIO);
}

void write_stop(Sink& con) {
  static const char stop[] = "Stop - Program terminated.\r\n";
  // A console that lost its output (a full disk behind a redirection) is a
  // failed run, not a normal end.
  if (std::fwrite(stop, 1, sizeof stop - 1, con.file) != sizeof stop - 1 ||
      std::fflush(con.file) != 0)
    file_error("cannot write", con.name, errno);
}

std::string_view trim(std::string_view s, std::string_view blanks) {
  const std::size_t first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

std::string one_line(std::string_view s) {
  std::string line(s);
  for (char& c : line) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return line;
}

std::string quote(std::string_view s) {
  std::string q(1, '"');
  return q.append(one_line(s.substr(0, 40))).append(s.size() > 40 ? "...\"" : "\"");
}

std::string where(std::string_view name, long line) {
  std::string w = one_line(name);
  if (line > 0) w += ", line " + std::to_string(line);
  return w;
}

void input_error(const Source& in, std::string_view what) {
  if (in.console) throw Error("answer to " + std::string(trim(in.name)) + ": " + std::string(what));
  throw Error(std::string(in.name) + ", line " + std::to_string(in.line) + ": " +
              std::string(what));
}

void write_formatted(Sink& out, const Layout& layout, std::initializer_list<Item> items) {
  Line line(out);
  const Item* next = items.begin();
  for (int k = 0; k < layout.count; ++k) {
    const LayoutItem& f = layout.item[k];
    switch (f.code) {
      case '/':
        emit(out, line);
        break;
      case 'X':
        room(line, f.repeat);
        std::memset(line.c + line.n, ' ', static_cast<std::size_t>(f.repeat));
        line.n += f.repeat;
        break;
      case '\'':
        put_text(line, f.text);
        break;
      default:
        for (int r = 0; r < f.repeat; ++r) {
          // The record ends after the last value: fields left over write nothing.
          if (next == items.end()) {
            emit(out, line);
            return;
          }
          if (!out.console) finite_or_stop(out, *next);
          put_value(line, f, *next++);
        }
    }
  }
  // Every layout of the program has a field for each of its values.
  if (next != items.end()) throw Error("more values than fields in a layout");
  emit(out, line);
}

void write_list(Sink& out, std::initializer_list<Item> items) {
  constexpr int WIDTH = 79;  // characters after the line's first blank
  Line line(out);
  line.c[line.n++] = ' ';
  bool numeric = false;  // a numeric item already on this line
  for (const Item& v : items) {
    if (v.kind == Item::Kind::Text) {
      for (char ch : v.s) {
        if (line.n - 1 == WIDTH) {
          emit(out, line);
          line.c[line.n++] = ' ';
          numeric = false;
        }
        line.c[line.n++] = ch;
      }
      continue;
    }
    char field[40];
    int w;
    if (v.kind == Item::Kind::Int)
      w = detail::put_list_int(field, v.i);
    else if (v.kind == Item::Kind::Real)
      w = detail::put_list_real(field, v.r);
    else
      w = detail::put_list_double(field, v.d);
    if (line.n - 1 + (numeric ? 1 : 0) + w > WIDTH) {
      emit(out, line);
      line.c[line.n++] = ' ';
      numeric = false;
    }
    if (numeric) line.c[line.n++] = ' ';
    std::memcpy(line.c + line.n, field, static_cast<std::size_t>(w));
    line.n += w;
    numeric = true;
  }
  emit(out, line);
}

}  // namespace korvo

// Sinks and sources, the end of a run, layouts and the writers.
#include "text/text.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace korvo {

namespace {

// Open output files, flushed when a run ends with an error so that every
// record written so far reaches the file whole.
struct OpenFile {
  std::FILE* file;
  const char* name;
};
constexpr int OPEN_MAX = 16;
OpenFile open_files[OPEN_MAX];
int open_count = 0;

void flush_all() {
  std::fflush(stdout);
  for (int k = 0; k < open_count; ++k) std::fflush(open_files[k].file);
}

#ifdef KORVO_FUZZ_NO_EXIT
// A harness runs many inputs in one process: what a run left open must be
// closed when it ends, or descriptors run out. Inputs are kept by their
// Source so that a file kept open across calls (the soil file) is marked closed.
Source* open_inputs[OPEN_MAX];
int input_count = 0;

[[noreturn]] void end_run(int status) {
  flush_all();
  for (int k = 0; k < open_count; ++k) std::fclose(open_files[k].file);
  open_count = 0;
  for (int k = 0; k < input_count; ++k) {
    std::fclose(open_inputs[k]->file);
    open_inputs[k]->file = nullptr;
  }
  input_count = 0;
  throw RunEnd{status};
}
#else
[[noreturn]] void end_run(int status) {
  flush_all();
  std::exit(status);
}
#endif

[[noreturn]] void file_error(const char* what, const char* name, int error) {
  char message[512];
  std::snprintf(message, sizeof message, "%s %s: %s", what, name, std::strerror(error));
  run_error(message);
}

// One output record being built; room for the widest record and its line end.
constexpr int LINE_MAX = 4096;
struct Line {
  char c[LINE_MAX + 2];
  int n = 0;
};

void room(const Line& line, int w) {
  if (w < 0 || line.n + w > LINE_MAX) run_error("output record longer than 4096 characters");
}

// The console drops the carriage-control character and ends with LF; a file
// keeps every character and ends with CR LF. One fwrite per record, so a
// file never holds part of a line.
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
  const std::size_t wanted = static_cast<std::size_t>(n);
  if (std::fwrite(start, 1, wanted, out.file) != wanted)
    file_error("cannot write", out.name, errno);
  line.n = 0;
}

int number(std::string_view s, std::size_t& i) {
  int value = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    if (value < 100000) value = value * 10 + (s[i] - '0');
    ++i;
  }
  return value;
}

[[noreturn]] void bad_layout(std::string_view layout) {
  char message[256];
  std::snprintf(message, sizeof message, "bad layout \"%.*s\"", static_cast<int>(layout.size()),
                layout.data());
  run_error(message);
}

void put_text(Line& line, std::string_view text) {
  // A doubled apostrophe inside a layout's text stands for one.
  for (std::size_t k = 0; k < text.size(); ++k) {
    room(line, 1);
    line.c[line.n++] = text[k];
    if (text[k] == '\'' && k + 1 < text.size() && text[k + 1] == '\'') ++k;
  }
}

void put_value(Line& line, const detail::LayoutItem& f, const Item& v) {
  using K = Item::Kind;
  char* out = line.c + line.n;
  if (f.code == 'A') {
    if (v.kind != K::Text) run_error("layout field A given a number");
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
  } else if (f.code != 'I' && (v.kind == K::Real || v.kind == K::Double)) {
    const bool e = f.code == 'E';
    if (v.kind == K::Real)
      line.n += e ? detail::put_E(out, v.r, f.w, f.d) : detail::put_F(out, v.r, f.w, f.d);
    else
      line.n += e ? detail::put_E(out, v.d, f.w, f.d) : detail::put_F(out, v.d, f.w, f.d);
  } else {
    run_error("layout field does not match its value");
  }
}

// Every computation checks for faults before it writes; should one slip
// through, the file still never shows NaN or Inf.
void finite_or_stop(const Sink& out, const Item& v) {
  const bool bad = (v.kind == Item::Kind::Real && !std::isfinite(v.r)) ||
                   (v.kind == Item::Kind::Double && !std::isfinite(v.d));
  if (!bad) return;
  char message[512];
  std::snprintf(message, sizeof message, "%s: a value to be written is not finite", out.name);
  run_error(message);
}

}  // namespace

Sink console_out() { return Sink{stdout, "the console", true}; }

Source console_in(const char* question) {
  Source in;
  in.file = stdin;
  in.name = question;
  in.console = true;
  return in;
}

void open_input(Source& in, const char* name) {
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
#ifdef KORVO_FUZZ_NO_EXIT
  if (input_count < OPEN_MAX) open_inputs[input_count++] = &in;
#endif
}

void create_output(Sink& out, const char* name) {
  std::FILE* f = std::fopen(name, "wb");
  if (f == nullptr) file_error("cannot create", name, errno);
  out.file = f;
  out.name = name;
  out.console = false;
  if (open_count < OPEN_MAX) open_files[open_count++] = OpenFile{f, name};
}

void close_input(Source& in) {
#ifdef KORVO_FUZZ_NO_EXIT
  for (int k = 0; k < input_count; ++k) {
    if (open_inputs[k] == &in) {
      open_inputs[k] = open_inputs[--input_count];
      break;
    }
  }
#endif
  if (in.file != nullptr && !in.console) std::fclose(in.file);
  in.file = nullptr;
}

void close_output(Sink& out) {
  if (out.file == nullptr || out.console) return;
  for (int k = 0; k < open_count; ++k) {
    if (open_files[k].file == out.file) {
      open_files[k] = open_files[--open_count];
      break;
    }
  }
  std::FILE* f = out.file;
  out.file = nullptr;
  errno = 0;
  const bool failed = std::fflush(f) != 0 || std::ferror(f) != 0;
  const int error = errno;
  if (std::fclose(f) != 0 || failed) file_error("cannot write", out.name, error ? error : EIO);
}

void stop_run() {
  static const char stop[] = "Stop - Program terminated.\r\n";
  // A console that lost its output (a full disk behind a redirection) is a
  // failed run, not a normal end.
  if (std::fwrite(stop, 1, sizeof stop - 1, stdout) != sizeof stop - 1 || std::fflush(stdout) != 0)
    file_error("cannot write", "the console", errno);
  end_run(0);
}

void run_error(std::string_view what) {
  char line[1024];
  int n = 0;
  for (char c : what) {
    if (n == static_cast<int>(sizeof line) - 1) break;
    const unsigned char u = static_cast<unsigned char>(c);
    line[n++] = u < 0x20 || u == 0x7f ? '?' : c;
  }
  line[n] = '\0';
#ifndef KORVO_FUZZ_NO_EXIT
  // Every complete record reaches its file before the report.
  flush_all();
  std::fprintf(stderr, "korvo: %s\n", line);
#endif
  end_run(1);
}

void input_error(const Source& in, std::string_view what) {
  char message[640];
  if (in.console) {
    std::string_view q = in.name;
    while (!q.empty() && q.front() == ' ') q.remove_prefix(1);
    while (!q.empty() && q.back() == ' ') q.remove_suffix(1);
    std::snprintf(message, sizeof message, "answer to %.*s: %.*s", static_cast<int>(q.size()),
                  q.data(), static_cast<int>(what.size()), what.data());
  } else {
    std::snprintf(message, sizeof message, "%s, line %ld: %.*s", in.name, in.line,
                  static_cast<int>(what.size()), what.data());
  }
  run_error(message);
}

int detail::parse_layout(std::string_view s, LayoutItem* items) {
  std::size_t i = 0;
  auto blanks = [&] {
    while (i < s.size() && (s[i] == ' ' || s[i] == ',')) ++i;
  };
  while (i < s.size() && s[i] == ' ') ++i;
  if (i == s.size() || s[i] != '(') bad_layout(s);
  ++i;
  int n = 0;
  for (;;) {
    blanks();
    if (i == s.size()) bad_layout(s);
    if (s[i] == ')') break;
    if (n == LAYOUT_MAX) bad_layout(s);
    LayoutItem& it = items[n++];
    it = LayoutItem{'/', 1, 0, 0, {}};
    if (s[i] == '/') {
      ++i;
      continue;
    }
    if (s[i] == '\'') {
      const std::size_t start = ++i;
      for (;; ++i) {
        if (i == s.size()) bad_layout(s);
        if (s[i] != '\'') continue;
        if (i + 1 < s.size() && s[i + 1] == '\'') {
          ++i;
          continue;
        }
        break;
      }
      it.code = '\'';
      it.text = s.substr(start, i - start);
      ++i;
      continue;
    }
    const bool counted = s[i] >= '0' && s[i] <= '9';
    const int repeat = counted ? number(s, i) : 1;
    if (i == s.size() || repeat < 1) bad_layout(s);
    it.code = static_cast<char>(std::toupper(static_cast<unsigned char>(s[i++])));
    it.repeat = repeat;
    switch (it.code) {
      case 'X':
        break;
      case 'A':
        it.w = number(s, i);
        break;
      case 'I':
        it.w = number(s, i);
        if (it.w < 1) bad_layout(s);
        break;
      case 'F':
      case 'E':
        it.w = number(s, i);
        if (it.w < 1 || i == s.size() || s[i] != '.') bad_layout(s);
        ++i;
        if (i == s.size() || s[i] < '0' || s[i] > '9') bad_layout(s);
        it.d = number(s, i);
        break;
      default:
        bad_layout(s);
    }
  }
  ++i;
  while (i < s.size() && s[i] == ' ') ++i;
  if (i != s.size()) bad_layout(s);
  return n;
}

void write_formatted(Sink& out, std::string_view layout, std::initializer_list<Item> items) {
  detail::LayoutItem f[detail::LAYOUT_MAX];
  const int n = detail::parse_layout(layout, f);
  bool has_field = false;
  for (int k = 0; k < n; ++k) has_field = has_field || std::strchr("FEIA", f[k].code) != nullptr;
  Line line;
  const Item* next = items.begin();
  for (;;) {
    for (int k = 0; k < n; ++k) {
      switch (f[k].code) {
        case '/':
          emit(out, line);
          break;
        case 'X':
          room(line, f[k].repeat);
          std::memset(line.c + line.n, ' ', static_cast<std::size_t>(f[k].repeat));
          line.n += f[k].repeat;
          break;
        case '\'':
          put_text(line, f[k].text);
          break;
        default:
          // The record ends after the last value: fields left over write nothing.
          for (int r = 0; r < f[k].repeat; ++r) {
            if (next == items.end()) {
              emit(out, line);
              return;
            }
            if (!out.console) finite_or_stop(out, *next);
            put_value(line, f[k], *next++);
          }
      }
    }
    if (next == items.end()) break;
    // More values than fields: the layout starts again on a new record.
    if (!has_field) bad_layout(layout);
    emit(out, line);
  }
  emit(out, line);
}

void write_list(Sink& out, std::initializer_list<Item> items) {
  constexpr int WIDTH = 79;  // characters after the line's first blank
  Line line;
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

// Reader of the control file: two list-directed integer records, the groups
// in namelist notation, and the excluded time steps with their echo.
//
// The file is read whole and scanned line by line. Every item (record or
// group) starts at the beginning of a line and, once complete, the rest of
// its last line is discarded, so the next item starts on the next line.
#include "driver/control_file.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "base/limits.hpp"

namespace kov {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool is_alpha(char c) { return std::isalpha(static_cast<unsigned char>(c)); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

std::string upper(std::string_view s) {
  std::string u(s);
  for (char& ch : u) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return u;
}

// Text of the file quoted for a message: shortened, and with control bytes
// (which could end the line or drive a terminal) masked.
std::string quoted(std::string_view text) {
  std::string t(text.substr(0, 24));
  if (text.size() > 24) t += "...";
  for (char& ch : t)
    if (!std::isprint(static_cast<unsigned char>(ch))) ch = '?';
  return "'" + t + "'";
}

// Cursor over the lines of the file. Line numbers in messages are 1-based.
class Scanner {
 public:
  Scanner(const std::string& path, std::vector<std::string> lines)
      : path_(path), lines_(std::move(lines)) {}

  bool eof() const { return ln_ >= lines_.size(); }
  int lineno() const { return static_cast<int>(ln_) + 1; }
  // Current character; '\n' at the end of the line. Not called at eof.
  char peek() const {
    const std::string& l = lines_[ln_];
    return pos_ < l.size() ? l[pos_] : '\n';
  }
  void advance() { ++pos_; }
  void next_line() {
    ++ln_;
    pos_ = 0;
  }
  bool line_is_blank() const {
    for (char ch : lines_[ln_])
      if (!is_blank(ch)) return false;
    return true;
  }
  void skip_blanks() {
    while (is_blank(peek())) ++pos_;
  }
  // Skips blanks and line ends (and commas when `commas`); false at eof.
  bool skip_space(bool commas) {
    while (!eof()) {
      char c = peek();
      if (c == '\n')
        next_line();
      else if (is_blank(c) || (commas && c == ','))
        ++pos_;
      else
        return true;
    }
    return false;
  }
  // Takes the longest run of name characters at the cursor.
  std::string_view take_name() {
    std::size_t b = pos_;
    while (is_name_char(peek())) ++pos_;
    return std::string_view(lines_[ln_]).substr(b, pos_ - b);
  }
  // Takes a value token: everything up to a blank, comma, slash or line end.
  std::string_view take_value() {
    std::size_t b = pos_;
    for (char c = peek(); c != '\n' && !is_blank(c) && c != ',' && c != '/';
         c = peek())
      ++pos_;
    return std::string_view(lines_[ln_]).substr(b, pos_ - b);
  }
  // The text at the cursor, for a message: a lone comma or slash, or else up
  // to the next blank or comma; shortened and with control bytes masked.
  // Called only on a character that is not a blank or a line end.
  std::string found() const {
    const std::string& l = lines_[ln_];
    std::size_t e = pos_ + 1;
    if (l[pos_] != ',' && l[pos_] != '/')
      while (e < l.size() && !is_blank(l[e]) && l[e] != ',') ++e;
    return quoted(std::string_view(l).substr(pos_, e - pos_));
  }
  Status error(const std::string& what) const {
    return {Code::kBadControl,
            path_ + ":" + std::to_string(lineno()) + ": " + what};
  }
  Status eof_error(const std::string& what) const {
    return {Code::kBadControl, path_ + ": end of file " + what};
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::vector<std::string> lines_;
  std::size_t ln_ = 0;
  std::size_t pos_ = 0;
};

enum class Num { kOk, kNotNumber, kRange };

// Decimal integer with optional sign, limited to 32 bits.
Num parse_int(std::string_view t, std::int32_t& v) {
  std::size_t i = 0;
  bool neg = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
  if (i == t.size()) return Num::kNotNumber;
  std::int64_t a = 0;
  bool big = false;
  for (; i < t.size(); ++i) {
    if (!is_digit(t[i])) return Num::kNotNumber;
    if (!big) a = a * 10 + (t[i] - '0');
    if (a > 2147483648LL) big = true;
  }
  if (neg) a = -a;
  if (big || a > 2147483647LL || a < -2147483648LL) return Num::kRange;
  v = static_cast<std::int32_t>(a);
  return Num::kOk;
}

// Decimal or exponent notation: [sign] digits [. digits] or [sign] . digits,
// then optionally E, e, D or d with an optionally signed exponent. Converted
// with correct rounding; a value too large for a double is out of range.
Num parse_real(std::string_view t, double& v) {
  std::size_t i = 0;
  std::string s;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) s += t[i++];
  std::size_t digits = 0;
  for (; i < t.size() && is_digit(t[i]); ++i, ++digits) s += t[i];
  if (i < t.size() && t[i] == '.') {
    s += t[i++];
    for (; i < t.size() && is_digit(t[i]); ++i, ++digits) s += t[i];
  }
  if (digits == 0) return Num::kNotNumber;
  if (i < t.size() &&
      (t[i] == 'E' || t[i] == 'e' || t[i] == 'D' || t[i] == 'd')) {
    s += 'e';
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) s += t[i++];
    std::size_t ed = 0;
    for (; i < t.size() && is_digit(t[i]); ++i, ++ed) s += t[i];
    if (ed == 0) return Num::kNotNumber;
  }
  if (i != t.size()) return Num::kNotNumber;
  double d = std::strtod(s.c_str(), nullptr);
  if (std::isinf(d)) return Num::kRange;
  v = d;
  return Num::kOk;
}

// One integer of a list-directed record: its name for messages, where it is
// stored, and where the line it came from is noted.
struct Field {
  std::string name;
  int* dst;
  int* line;
};

// Reads a record of integers in free format. Values are separated by blanks,
// line ends or one comma; blank lines are skipped; an empty value (a comma
// with no value before it) is an error. The rest of the line after the last
// value is discarded.
Status read_record(Scanner& s, const std::string& what,
                   std::initializer_list<Field> fields) {
  bool first = true;
  for (const Field& f : fields) {
    if (!s.skip_space(false))
      return s.eof_error("while reading " + what + " (expected " + f.name + ")");
    if (!first && s.peek() == ',') {
      s.advance();
      if (!s.skip_space(false))
        return s.eof_error("while reading " + what + " (expected " + f.name +
                           ")");
    }
    first = false;
    std::string_view tok = s.take_value();
    std::int32_t v = 0;
    Num r = tok.empty() ? Num::kNotNumber : parse_int(tok, v);
    if (r == Num::kNotNumber)
      return s.error("expected an integer for " + f.name + " in " + what +
                     ", found " + (tok.empty() ? s.found() : quoted(tok)));
    if (r == Num::kRange)
      return s.error("integer " + std::string(tok) + " for " + f.name + " in " +
                     what + " does not fit in 32 bits");
    *f.dst = v;
    if (f.line) *f.line = s.lineno();
  }
  s.next_line();
  return {};
}

enum class Kind { kInt, kInt8, kReal };

struct Key {
  const char* name;
  Kind kind;
  void* dst;   // int*, std::int8_t* or double* by kind
  int* line;   // line of the last assignment, or nullptr
};

struct Group {
  const char* name;
  std::vector<Key> keys;
};

bool is_group_name(const std::string& n) {
  return n == "DATA" || n == "CONTRL" || n == "NPT";
}

// Assigns the value token `tok` to key `k` of group `g`.
Status assign(Scanner& s, const Group& g, const Key& k, std::string_view tok) {
  const std::string in = std::string(" in group &") + g.name;
  const std::string shown = quoted(tok);
  if (k.kind == Kind::kReal) {
    double d = 0.0;
    Num r = parse_real(tok, d);
    if (r == Num::kNotNumber)
      return s.error(std::string("expected a number for ") + k.name + in +
                     ", found " + shown);
    if (r == Num::kRange)
      return s.error(std::string("value ") + std::string(tok) + " of " +
                     k.name + in + " is too large");
    *static_cast<double*>(k.dst) = d;
  } else {
    std::int32_t v = 0;
    Num r = parse_int(tok, v);
    if (r == Num::kNotNumber)
      return s.error(std::string("expected an integer for ") + k.name + in +
                     ", found " + shown);
    if (r == Num::kRange)
      return s.error(std::string("integer ") + std::string(tok) + " for " +
                     k.name + in + " does not fit in 32 bits");
    if (k.kind == Kind::kInt8) {
      if (v < -128 || v > 127)
        return s.error(std::string(k.name) + " = " + std::to_string(v) + in +
                       " is outside the one-byte range -128..127");
      *static_cast<std::int8_t*>(k.dst) = static_cast<std::int8_t>(v);
    } else {
      *static_cast<int*>(k.dst) = v;
    }
  }
  if (k.line) *k.line = s.lineno();
  return {};
}

// Reads the assignments of group g up to its terminator ('/', &END or $END)
// and discards the rest of that line. The cursor stands after the name.
Status read_body(Scanner& s, const Group& g) {
  const std::string in = std::string(" in group &") + g.name;
  const std::string at_eof = std::string("while reading group &") + g.name;
  for (;;) {
    if (!s.skip_space(true)) return s.eof_error(at_eof + " (expected '/')");
    char c = s.peek();
    if (c == '/') {
      s.next_line();
      return {};
    }
    if (c == '&' || c == '$') {
      std::string f = s.found();
      s.advance();
      if (upper(s.take_name()) == "END") {
        s.next_line();
        return {};
      }
      return s.error("expected a key or '/'" + in + ", found " + f);
    }
    if (!is_alpha(c))
      return s.error("expected a key or '/'" + in + ", found " + s.found());
    std::string_view written = s.take_name();
    std::string name = upper(written);
    const Key* key = nullptr;
    for (const Key& k : g.keys)
      if (name == k.name) key = &k;
    if (key == nullptr) {
      std::string list;
      for (const Key& k : g.keys) list += (list.empty() ? "" : ", ") + std::string(k.name);
      return s.error("unknown key " + std::string(written) + in +
                     " (expected one of " + list + ")");
    }
    const std::string after = std::string(" after key ") + key->name + in;
    if (!s.skip_space(false))
      return s.eof_error(at_eof + " (expected '=' after key " + key->name + ")");
    if (s.peek() != '=')
      return s.error("expected '='" + after + ", found " + s.found());
    s.advance();
    if (!s.skip_space(false))
      return s.eof_error(at_eof + " (expected a value for " + key->name + ")");
    std::string_view tok = s.take_value();
    if (tok.empty())
      return s.error(std::string("expected a value for ") + key->name + in +
                     ", found " + s.found());
    Status st = assign(s, g, *key, tok);
    if (!st.ok()) return st;
  }
}

// Skips the body of a group of an unknown name up to its terminator and
// discards the rest of that line. Quoted strings may hold a slash.
Status skip_body(Scanner& s, const std::string& name) {
  while (!s.eof()) {
    char c = s.peek();
    if (c == '\n') {
      s.next_line();
    } else if (c == '\'' || c == '"') {
      s.advance();
      while (!s.eof() && s.peek() != c) {
        if (s.peek() == '\n')
          s.next_line();
        else
          s.advance();
      }
      if (!s.eof()) s.advance();
    } else if (c == '/') {
      s.next_line();
      return {};
    } else if (c == '&' || c == '$') {
      s.advance();
      if (upper(s.take_name()) == "END") {
        s.next_line();
        return {};
      }
    } else {
      s.advance();
    }
  }
  return s.eof_error("while skipping group &" + name + " (expected '/')");
}

// Seeks group g: blank lines are skipped, a group of an unknown name is
// skipped whole with a warning, and anything else is an error.
Status read_group(Scanner& s, const Group& g) {
  const std::string want = std::string("&") + g.name;
  for (;;) {
    while (!s.eof() && s.line_is_blank()) s.next_line();
    if (s.eof()) return s.eof_error("(expected group " + want + ")");
    s.skip_blanks();
    char c = s.peek();
    if (c != '&' && c != '$')
      return s.error("expected group " + want + ", found " + s.found());
    std::string f = s.found();
    s.advance();
    std::string name = upper(s.take_name());
    if (name == g.name) return read_body(s, g);
    if (is_group_name(name))
      return s.error("group &" + name + " out of order (expected " + want + ")");
    if (name.empty() || name == "END")
      return s.error("expected group " + want + ", found " + f);
    std::fprintf(stderr, "%s:%d: warning: skipping unknown group %c%s\n",
                 s.path().c_str(), s.lineno(), c, name.c_str());
    Status st = skip_body(s, name);
    if (!st.ok()) return st;
  }
}

// The whole file as lines, without their line ends.
Status read_lines(const std::string& path, std::vector<std::string>& lines) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr)
    return {Code::kIo, path + ": cannot open: " + std::strerror(errno)};
  std::string text;
  char buf[8192];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  const bool bad = std::ferror(f) != 0;
  const int err = errno;
  std::fclose(f);
  if (bad) return {Code::kIo, path + ": cannot read: " + std::strerror(err)};
  for (std::size_t b = 0; b < text.size();) {
    std::size_t e = text.find('\n', b);
    if (e == std::string::npos) e = text.size();
    lines.emplace_back(text, b, e - b);
    b = e + 1;
  }
  return {};
}

// Records 1 and 2: NDAT, then NLINE and NPIX.
Status read_dimensions(Scanner& s, Control& c, ValueLines& at) {
  Status st = read_record(s, "record 1", {{"NDAT", &c.ndat, &at.ndat}});
  if (!st.ok()) return st;
  return read_record(s, "record 2",
                     {{"NLINE", &c.nline, &at.nline}, {"NPIX", &c.npix, &at.npix}});
}

// The groups DATA, CONTRL and, in the full build, NPT.
Status read_groups(Scanner& s, Build build, Control& c, ValueLines& at) {
  int ndat_ignored = 0;
  const Group data{"DATA",
                   {{"NDAT", Kind::kInt, &ndat_ignored, nullptr},
                    {"NFUNC", Kind::kInt, &c.nfunc, &at.nfunc},
                    {"NDEF", Kind::kInt, &c.ndef, &at.ndef},
                    {"ISPOT", Kind::kInt, &c.ispot, nullptr}}};
  const Group contrl{"CONTRL",
                     {{"NWIN", Kind::kInt, &c.nwin, &at.nwin},
                      {"INTP", Kind::kInt, &c.intp, nullptr},
                      {"SELECT", Kind::kInt8, &c.select, nullptr},
                      {"MMSW", Kind::kInt, &c.mmsw, nullptr},
                      {"TCLD", Kind::kReal, &c.tcld, nullptr},
                      {"FITSW", Kind::kInt8, &c.fitsw, nullptr},
                      {"MASK", Kind::kInt, &c.mask, nullptr},
                      {"FITMD", Kind::kInt8, &c.fitmd, nullptr}}};
  const Group npt{"NPT", {{"NPOINT", Kind::kInt, &c.npoint, &at.npoint}}};
  Status st = read_group(s, data);
  if (st.ok()) st = read_group(s, contrl);
  if (st.ok() && build == Build::kFull) st = read_group(s, npt);
  if (build == Build::kFixedPeriod) c.npoint = 46;
  return st;
}

// The NDEF excluded time steps, one record each, read only when NDEF is in
// 1..NDAT and echoed to `out` as read; only steps in 1..NDAT are kept.
Status read_excluded_steps(Scanner& s, Control& c, std::FILE* out, bool& echoed) {
  if (c.ndef < 1 || c.ndef > c.ndat) return {};
  echoed = true;
  std::fprintf(out, " ----\n %d\n", c.ndef);
  int kept = 0;
  for (int i = 1; i <= c.ndef; ++i) {
    int t = 0;
    Status st = read_record(
        s, "the excluded time steps",
        {{"step " + std::to_string(i) + " of " + std::to_string(c.ndef), &t, nullptr}});
    if (!st.ok()) return st;
    if (t > 0 && t <= c.ndat) {
      ++kept;
      std::fprintf(out, " %d %d\n", kept, t);
      if (kept <= kMaxSteps) c.kdef.push_back(static_cast<std::int16_t>(t));
    }
  }
  std::fputs(" ----\n", out);
  return {};
}

Status read_all(const std::string& path, Build build, Control& c, std::FILE* out,
                bool& echoed) {
  c = Control{};
  std::vector<std::string> lines;
  Status st = read_lines(path, lines);
  if (!st.ok()) return st;
  Scanner s(path, std::move(lines));
  ValueLines at;
  st = read_dimensions(s, c, at);
  if (st.ok()) st = read_groups(s, build, c, at);
  if (st.ok()) st = read_excluded_steps(s, c, out, echoed);
  if (st.ok()) st = check_limits(c, path, at);
  if (st.ok()) derive_limits(c);
  return st;
}

}  // namespace

Status read_control_file(const std::string& path, Build build, Control& c,
                std::FILE* out) {
  bool echoed = false;
  Status st = read_all(path, build, c, out, echoed);
  if (echoed) std::fflush(out);
  return st;
}

}  // namespace kov

#include "driver/control_file.hpp"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "test/support.hpp"

namespace kov {
namespace {

using namespace std::string_literals;

std::string num(double v) {
  char buf[32];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// Every field of c: NDAT NLINE NPIX | NFUNC NDEF ISPOT | NWIN INTP SELECT
// MMSW TCLD FITSW MASK FITMD | NPOINT | kept steps | npara tlo thi.
std::string fields(const Control& c) {
  std::string steps;
  for (int t : c.kdef) steps += std::to_string(t) + " ";
  const auto i = [](int v) { return std::to_string(v) + " "; };
  return i(c.ndat) + i(c.nline) + i(c.npix) + "| " + i(c.nfunc) + i(c.ndef) + i(c.ispot) + "| " +
         i(c.nwin) + i(c.intp) + i(c.select) + i(c.mmsw) + num(c.tcld) + " " + i(c.fitsw) +
         i(c.mask) + i(c.fitmd) + "| " + i(c.npoint) + "| " + steps + "| " + i(c.npara) +
         num(c.tlo) + " " + num(c.thi);
}

// Reads control files from a scratch directory (messages relative to it; the
// echo, then the warnings) into a Control in which no field holds a default.
struct Reader {
  test::TempDir dir;
  Control c;
  std::string echo;
  Status read(const std::string& text, Build build = Build::kFull) {
    test::write_file(dir.file("cntl.dat"), text);
    c.ndat = c.nline = c.npix = c.nfunc = c.ndef = c.ispot = c.nwin = c.intp = -9;
    c.mmsw = c.mask = c.npoint = c.npara = -9;
    c.select = c.fitsw = c.fitmd = -9;
    c.tcld = c.tlo = c.thi = -9.0;
    c.kdef = {-9};
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* out = open_memstream(&buf, &len);
    testing::internal::CaptureStderr();
    Status st = read_control_file(dir.file("cntl.dat"), build, c, out);
    std::fclose(out);
    echo = std::string(buf, len) + testing::internal::GetCapturedStderr();  // then the warnings
    std::free(buf);
    for (std::string* m : {&st.msg, &echo})
      for (std::size_t at; (at = m->find(dir.path() + "/")) != std::string::npos;)
        m->erase(at, dir.path().size() + 1);
    return st;
  }
};

const std::string kDefaults = "3 0 1 1 0.15000000596046448 1 0 0 | 46 | ";
const std::string kLimits = "14 -0.15000000596046448 0.30000001192092896";

TEST(ControlFile, ValuesDefaultsExcludedStepsAndDerivedLimits) {
  struct Case {
    std::string text, fields, echo;
    Build build = Build::kFull;
  };
  const Case cases[] = {
      {"46\n1200 1500\n&DATA NFUNC=6, NDEF=2 /\n&CONTRL INTP=1, TCLD=0.2 /\n"
       "&NPT NPOINT=46 /\n12\n30\n",
       "46 1200 1500 | 6 2 0 | 3 1 1 1 0.2 1 0 0 | 46 | 12 30 | 14 -0.2 0.4",
       " ----\n 2\n 1 12\n 2 30\n ----\n"},
      // Steps outside 1..NDAT are skipped silently; the count is echoed as given.
      {"46\n10 10\n&DATA NDEF=4 /\n&CONTRL /\n&NPT /\n5\n0\n47\n46\n",
       "46 10 10 | 6 4 0 | " + kDefaults + "5 46 | " + kLimits, " ----\n 4\n 1 5\n 2 46\n ----\n"},
      // The NDAT of group DATA is ignored. FITMD 1, 2 and any other value.
      {"3\n0 0\n&DATA NDAT=50, NFUNC=0, NDEF=3 /\n&CONTRL FITMD=1, TCLD=0.1 /\n&NPT NPOINT=1 /\n"
       "1\n2\n3\n",
       "3 0 0 | 0 3 0 | 3 0 1 1 0.1 1 0 1 | 1 | 1 2 3 | 2 -0.2 0.1",
       " ----\n 3\n 1 1\n 2 2\n 3 3\n ----\n"},
      {"200\n1 1\n&DATA NFUNC=23 /\n&CONTRL FITMD=2, TCLD=0.1, NWIN=-1 /\n&NPT /\n",
       "200 1 1 | 23 0 0 | -1 0 1 1 0.1 1 0 2 | 46 | | 48 -0.1 0.1", ""},
      {"46\n1 1\n&DATA /\n&CONTRL FITMD=-3, TCLD=0.1, NWIN=-1, MMSW=0 /\n&NPT /\n",
       "46 1 1 | 6 0 0 | -1 0 1 0 0.1 1 0 -3 | 46 | | 14 -0.1 0.2", ""},
      // Customary notations: $ and &END/$END in any case, blank and CRLF
      // lines, values continued onto later lines, a repeated key, text after
      // a record's last value and after the slash, one-byte extremes, TCLD
      // in exponent notation.
      {"\n 46  trailing words\r\n1200,\n\n 1500 more\n\n"
       "$data nfunc = 4,\n ndef=1  NdEf\n=\n2 $end text\n"
       "  &Contrl TCLD=25D-2 fitmd=2 select=-128 fitsw=127\n  mask=1 &End\n"
       "&npt npoint=23/ignored\n\n 9 x\n  \t \n 11\n",
       "46 1200 1500 | 4 2 0 | 3 0 -128 1 0.25 127 1 2 | 23 | 9 11 | 10 -0.25 0.25",
       " ----\n 2\n 1 9\n 2 11\n ----\n"},
      // A group of another name is skipped with a warning.
      {"46\n1 1\n&DATA NFUNC=3 /\n&OTHER A='x/y',\n B=2 /\n$more &end\n&CONTRL NWIN=5 /\n&NPT /\n",
       "46 1 1 | 3 0 0 | 5 0 1 1 0.15000000596046448 1 0 0 | 46 | | 8 -0.15000000596046448 "
       "0.30000001192092896",
       "cntl.dat:4: warning: skipping unknown group &OTHER\ncntl.dat:6: warning: skipping unknown "
       "group $MORE\n"},
      // The fixed-period build reads no NPT group: with NDEF = 0 one is harmless.
      {"46\n1 1\n&DATA NDEF=1 /\n&CONTRL TCLD=.25 /\n3\n",
       "46 1 1 | 6 1 0 | 3 0 1 1 0.25 1 0 0 | 46 | 3 | 14 -0.25 0.5", " ----\n 1\n 1 3\n ----\n",
       Build::kFixedPeriod},
      {"46\n1 1\n&DATA /\n&CONTRL /\n&NPT NPOINT=0 /\n",
       "46 1 1 | 6 0 0 | " + kDefaults + "| " + kLimits,
       "", Build::kFixedPeriod},
  };
  Reader r;
  for (const Case& k : cases) {
    const Status st = r.read(k.text, k.build);
    ASSERT_TRUE(st.ok()) << k.text << "\n" << st.msg;
    EXPECT_EQ(fields(r.c), k.fields) << k.text;
    EXPECT_EQ(r.echo, k.echo) << k.text;
  }
}

TEST(ControlFile, RefusedFilesNameTheLineAndWhatWasExpected) {
  struct Case {
    std::string text, msg;
    Code code = Code::kBadControl;
    Build build = Build::kFull;
  };
  const std::string g = "46\n1 1\n&DATA /\n&CONTRL ";  // up to the values of CONTRL
  const Case cases[] = {
      {"\n  \n", " end of file while reading record 1 (expected NDAT)"},
      {"4x6\n", "1: expected an integer for NDAT in record 1, found '4x6'"},
      {"46\n1200,,1500\n", "2: expected an integer for NPIX in record 2, found ','"},
      {"2147483648\n", "1: integer 2147483648 for NDAT in record 1 does not fit in 32 bits"},
      {"46\n1 1\nNFUNC=3\n", "3: expected group &DATA, found 'NFUNC=3'"},
      {"46\n1 1\n&CONTRL /\n", "3: group &CONTRL out of order (expected &DATA)"},
      {"46\n1 1\n&DATA /\n&NPT /\n", "4: group &NPT out of order (expected &CONTRL)"},
      {g + "NPOINT=4 /\n", "4: unknown key NPOINT in group &CONTRL (expected one of NWIN, INTP, "
                           "SELECT, MMSW, TCLD, FITSW, MASK, FITMD)"},
      {"46\n1 1\n&DATA NFUNC 6 /\n", "3: expected '=' after key NFUNC in group &DATA, found '6'"},
      {"46\n1 1\n&DATA NFUNC=, /\n", "3: expected a value for NFUNC in group &DATA, found ','"},
      {"46\n1 1\n&DATA NFUNC=6\n&CONTRL /\n",
       "4: expected a key or '/' in group &DATA, found '&CONTRL'"},
      {g + "\n FITMD=128 /\n",
       "5: FITMD = 128 in group &CONTRL is outside the one-byte range -128..127"},
      {g + "TCLD=1e999 /\n", "4: value 1e999 of TCLD in group &CONTRL is too large"},
      {g + "TCLD=0x1p3 /\n", "4: expected a number for TCLD in group &CONTRL, found '0x1p3'"},
      {"46\n1 1\n&DATA /\n&X a=1\n", " end of file while skipping group &X (expected '/')"},
      {"46\n1 1\n&DATA /\n&CONTRL", " end of file while reading group &CONTRL (expected '/')"},
      // Control bytes and a NUL never reach the message; long text is shortened.
      {g + "TCLD=1\0\x1b[2J\v5 /\n"s,
       "4: expected a number for TCLD in group &CONTRL, found '1??[2J?5'"},
      {g + "TCLD=0.12345678901234567890123456x /\n",
       "4: expected a number for TCLD in group &CONTRL, found '0.1234567890123456789012...'"},
      // Where the fixed-period build expects the first step, the full build a group.
      {"46\n1 1\n&DATA NDEF=1 /\n&CONTRL /\n&NPT /\n3\n",
       "5: expected an integer for step 1 of 1 in the excluded time steps, found '&NPT'",
       Code::kBadControl, Build::kFixedPeriod},
      {"46\n1 1\n&DATA NDEF=1 /\n&CONTRL /\n3\n", "5: expected group &NPT, found '3'"},
      {"46\n1 1\n&DATA NDEF=2 /\n&CONTRL /\n&NPT /\n7\n",
       " end of file while reading the excluded time steps (expected step 2 of 2)"},
      // Limits, checked after the excluded steps are read.
      {"2\n1 1\n&DATA /\n&CONTRL /\n&NPT /\n", "1: NDAT = 2 is outside 3..200", Code::kInvalid},
      {"201\n1 1\n&DATA /\n&CONTRL /\n&NPT /\n", "1: NDAT = 201 is outside 3..200", Code::kInvalid},
      {"46\n1 1\n&DATA NDEF=-1 /\n&CONTRL /\n&NPT /\n", "3: NDEF = -1 is outside 0..NDAT (46)",
       Code::kInvalid},
      {"46\n1 1\n&DATA NDEF=47 /\n&CONTRL /\n&NPT /\n", "3: NDEF = 47 is outside 0..NDAT (46)",
       Code::kInvalid},
      {"46\n-1 1\n&DATA /\n&CONTRL /\n&NPT /\n", "2: NLINE = -1 is negative", Code::kInvalid},
      {"46\n1 -4\n&DATA /\n&CONTRL /\n&NPT /\n", "2: NPIX = -4 is negative", Code::kInvalid},
      {"46\n1 1\n&DATA NFUNC=-1 /\n&CONTRL /\n&NPT /\n", "3: NFUNC = -1 is outside 0..23",
       Code::kInvalid},
      {"46\n1 1\n&DATA NFUNC=24 /\n&CONTRL /\n&NPT /\n", "3: NFUNC = 24 is outside 0..23",
       Code::kInvalid},
      {"46\n1 1\n&DATA /\n&CONTRL /\n&NPT NPOINT=0 /\n", "5: NPOINT = 0 is not positive",
       Code::kInvalid},
      {g + "NWIN=-1, FITMD=1 /\n&NPT /\n", "4: NWIN = -1 is negative while the envelope filter "
                                           "is on (MMSW = 1, FITMD = 1)", Code::kInvalid},
  };
  Reader r;
  for (const Case& k : cases) {
    const Status st = r.read(k.text, k.build);
    EXPECT_EQ(st.code, k.code) << k.text;
    EXPECT_EQ(st.msg, "cntl.dat:" + k.msg) << k.text;
  }
}

}  // namespace
}  // namespace kov

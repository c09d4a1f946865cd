#include "driver/control_file.hpp"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "test/support.hpp"

// Control files the program refuses are checked end to end in
// badinput_test.cpp; here are the accepted forms and the parser's messages.

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

// Reads control files from a scratch directory; messages are given relative
// to it. Each read starts from a Control in which no field holds a default.
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
    Status st = read_control_file(dir.file("cntl.dat"), build, c, out);
    std::fclose(out);
    echo.assign(buf, len);
    std::free(buf);
    if (st.msg.rfind(dir.path() + "/", 0) == 0) st.msg.erase(0, dir.path().size() + 1);
    return st;
  }
};

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
      {"46\n1200 1500\n&DATA /\n&CONTRL /\n&NPT /\n",
       "46 1200 1500 | 6 0 0 | 3 0 1 1 0.15000000596046448 1 0 0 | 46 | | "
       "14 -0.15000000596046448 0.30000001192092896",
       ""},
      // Steps outside 1..NDAT are skipped silently; the count is echoed as given.
      {"46\n10 10\n&DATA NDEF=3 /\n&CONTRL /\n&NPT /\n5\n0\n7\n",
       "46 10 10 | 6 3 0 | 3 0 1 1 0.15000000596046448 1 0 0 | 46 | 5 7 | "
       "14 -0.15000000596046448 0.30000001192092896",
       " ----\n 3\n 1 5\n 2 7\n ----\n"},
      {"46\n10 10\n&DATA NDEF=4 /\n&CONTRL /\n&NPT /\n47\n-3\n46\n46\n",
       "46 10 10 | 6 4 0 | 3 0 1 1 0.15000000596046448 1 0 0 | 46 | 46 46 | "
       "14 -0.15000000596046448 0.30000001192092896",
       " ----\n 4\n 1 46\n 2 46\n ----\n"},
      // The NDAT of group DATA is ignored.
      {"3\n0 0\n&DATA NDAT=50, NFUNC=0 /\n&CONTRL FITMD=1, TCLD=0.1 /\n&NPT NPOINT=1 /\n",
       "3 0 0 | 0 0 0 | 3 0 1 1 0.1 1 0 1 | 1 | | 2 -0.2 0.1", ""},
      {"200\n1 1\n&DATA NFUNC=23 /\n&CONTRL FITMD=2, TCLD=0.1, NWIN=-1 /\n&NPT /\n",
       "200 1 1 | 23 0 0 | -1 0 1 1 0.1 1 0 2 | 46 | | 48 -0.1 0.1", ""},
      {"46\n1 1\n&DATA /\n&CONTRL FITMD=-3, TCLD=0.1, NWIN=-1, MMSW=0 /\n&NPT /\n",
       "46 1 1 | 6 0 0 | -1 0 1 0 0.1 1 0 -3 | 46 | | 14 -0.1 0.2", ""},
      // Customary notations: $ and &END/$END in any case, blank and CRLF
      // lines, values continued onto later lines, a repeated key, text after
      // a record's last value and after the slash, one-byte extremes.
      {"\n 46  trailing words\r\n1200,\n\n 1500 more\n\n"
       "$data nfunc = 4,\n ndef=1  NdEf\n=\n2 $end text\n"
       "  &Contrl TCLD=1D-1 fitmd=2 select=-128 fitsw=127\n  mask=1 &End\n"
       "&npt npoint=23/ignored\n\n 9 x\n  \t \n 11\n",
       "46 1200 1500 | 4 2 0 | 3 0 -128 1 0.1 127 1 2 | 23 | 9 11 | 10 -0.1 0.1",
       " ----\n 2\n 1 9\n 2 11\n ----\n"},
      // The fixed-period build reads no NPT group: with NDEF = 0 one is harmless.
      {"46\n1 1\n&DATA NDEF=1 /\n&CONTRL /\n3\n",
       "46 1 1 | 6 1 0 | 3 0 1 1 0.15000000596046448 1 0 0 | 46 | 3 | "
       "14 -0.15000000596046448 0.30000001192092896",
       " ----\n 1\n 1 3\n ----\n", Build::kFixedPeriod},
      {"46\n1 1\n&DATA /\n&CONTRL /\n&NPT NPOINT=0 /\n",
       "46 1 1 | 6 0 0 | 3 0 1 1 0.15000000596046448 1 0 0 | 46 | | "
       "14 -0.15000000596046448 0.30000001192092896",
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

TEST(ControlFile, TcldInAnyDecimalOrExponentNotationAndNothingElse) {
  Reader r;
  const auto tcld = [&](const std::string& v) {
    return r.read("46\n1 1\n&DATA /\n&CONTRL TCLD=" + v + " /\n&NPT /\n");
  };
  for (const char* v : {"2.5E-1", ".25", "0.25d0", "25D-2", "+0.25", "0.250", "25e-2"}) {
    ASSERT_TRUE(tcld(v).ok()) << v;
    EXPECT_EQ(r.c.tcld, 0.25) << v;
  }
  ASSERT_TRUE(tcld("0.15").ok());  // correctly rounded, not the widened default
  EXPECT_EQ(r.c.tcld, 0.15);
  for (const char* v : {"1.2.3", "e5", "0x1p3", "inf", "nan", "1e", "."}) {
    const Status st = tcld(v);
    EXPECT_EQ(st.code, Code::kBadControl) << v;
    EXPECT_EQ(st.msg, "cntl.dat:4: expected a number for TCLD in group &CONTRL, found '"s + v + "'")
        << v;
  }
}

TEST(ControlFile, MalformedFilesNameTheLineAndWhatWasExpected) {
  struct Case {
    std::string text, msg;
    Build build = Build::kFull;
  };
  const Case cases[] = {
      {"4x6\n", "1: expected an integer for NDAT in record 1, found '4x6'"},
      {"46\n1200,,1500\n", "2: expected an integer for NPIX in record 2, found ','"},
      {"46\n1200 / 1500\n", "2: expected an integer for NPIX in record 2, found '/'"},
      {"2147483648\n", "1: integer 2147483648 for NDAT in record 1 does not fit in 32 bits"},
      {"46\n1 1\nNFUNC=3\n", "3: expected group &DATA, found 'NFUNC=3'"},
      {"46\n1 1\n&DATA /\n&CONTRL NPOINT=4 /\n",
       "4: unknown key NPOINT in group &CONTRL (expected one of NWIN, INTP, SELECT, MMSW, "
       "TCLD, FITSW, MASK, FITMD)"},
      {"46\n1 1\n&DATA NFUNC 6 /\n", "3: expected '=' after key NFUNC in group &DATA, found '6'"},
      {"46\n1 1\n&DATA NFUNC=, /\n", "3: expected a value for NFUNC in group &DATA, found ','"},
      {"46\n1 1\n&DATA /\n&CONTRL\n FITMD=128 /\n",
       "5: FITMD = 128 in group &CONTRL is outside the one-byte range -128..127"},
      {"46\n1 1\n&DATA /\n&CONTRL SELECT=-129 /\n",
       "4: SELECT = -129 in group &CONTRL is outside the one-byte range -128..127"},
      {"46\n1 1\n&DATA /\n&CONTRL TCLD=1e999 /\n",
       "4: value 1e999 of TCLD in group &CONTRL is too large"},
      {"46\n1 1\n&DATA /\n&X a=1\n", " end of file while skipping group &X (expected '/')"},
      // Control bytes and a NUL never reach the message; long text is shortened.
      {"\x01\x02\n",
       "1: expected an integer for NDAT in record 1, found '?"
       "?'"},
      {"46\n1 1\n&DATA NFUNC=6\x1b[2J\v /\n",
       "3: expected an integer for NFUNC in group &DATA, found '6?[2J?'"},
      {"46\n1 1\n&DATA /\n&CONTRL TCLD=1\0"s
       "5 /\n&NPT /\n",
       "4: expected a number for TCLD in group &CONTRL, found '1?5'"},
      {"46\n1 1\n&DATA /\n&CONTRL TCLD=0.12345678901234567890123456x /\n",
       "4: expected a number for TCLD in group &CONTRL, found '0.1234567890123456789012...'"},
      // Where the fixed-period build expects the first step, the full build a group.
      {"46\n1 1\n&DATA NDEF=1 /\n&CONTRL /\n&NPT /\n3\n",
       "5: expected an integer for step 1 of 1 in the excluded time steps, found '&NPT'",
       Build::kFixedPeriod},
      {"46\n1 1\n&DATA NDEF=1 /\n&CONTRL /\n3\n", "5: expected group &NPT, found '3'"},
  };
  Reader r;
  testing::internal::CaptureStderr();
  for (const Case& k : cases) {
    const Status st = r.read(k.text, k.build);
    EXPECT_EQ(st.code, Code::kBadControl) << k.text;
    EXPECT_EQ(st.msg, "cntl.dat:" + k.msg) << k.text;
  }
  testing::internal::GetCapturedStderr();
}

TEST(ControlFile, GroupOfAnotherNameIsSkippedWithAWarning) {
  Reader r;
  testing::internal::CaptureStderr();
  const Status st = r.read(
      "46\n1 1\n&DATA NFUNC=3 /\n&OTHER A='x/y',\n B=2 /\n$more &end\n&CONTRL NWIN=5 /\n&NPT /\n");
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(st.ok()) << st.msg;
  EXPECT_EQ(r.c.nfunc, 3);
  EXPECT_EQ(r.c.nwin, 5);
  const std::string at = r.dir.file("cntl.dat:");
  EXPECT_EQ(err, at + "4: warning: skipping unknown group &OTHER\n" + at +
                     "6: warning: skipping unknown group $MORE\n");
}

}  // namespace
}  // namespace kov

#include "driver/readcntl.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace kov {
namespace {

class ReadcntlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/readcntl_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/cntl.dat";
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  // Writes `text` as the control file and reads it; the echo lands in echo_.
  Status run(const std::string& text, Build build = Build::kFull) {
    std::FILE* f = std::fopen(path_.c_str(), "w");
    EXPECT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
    return read(build);
  }
  Status read(Build build) {
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* out = open_memstream(&buf, &len);
    Status st = readcntl(path_, build, c_, out);
    std::fclose(out);
    echo_.assign(buf, len);
    free(buf);
    return st;
  }
  // Message prefix for control-file line n.
  std::string at(int n) const { return path_ + ":" + std::to_string(n) + ": "; }

  std::string dir_, path_, echo_;
  Control c_;
};

const char* const kEmptyGroups = "46\n1200 1500\n&DATA /\n&CONTRL /\n&NPT /\n";

TEST_F(ReadcntlTest, CompleteSevenLineFile) {
  Status st = run(
      "46\n1200 1500\n&DATA NFUNC=6, NDEF=2 /\n&CONTRL INTP=1, TCLD=0.2 /\n"
      "&NPT NPOINT=46 /\n12\n30\n");
  ASSERT_TRUE(st.ok()) << st.msg;
  EXPECT_EQ(echo_, " ----\n 2\n 1 12\n 2 30\n ----\n");
  EXPECT_EQ(c_.ndat, 46);
  EXPECT_EQ(c_.nline, 1200);
  EXPECT_EQ(c_.npix, 1500);
  EXPECT_EQ(c_.npara, 14);
  EXPECT_EQ(c_.intp, 1);
  EXPECT_EQ(c_.thi, 0.4);
  EXPECT_EQ(c_.tlo, -0.2);
  EXPECT_EQ(c_.kdef, (std::vector<std::int16_t>{12, 30}));
  EXPECT_EQ(c_.nwin, 3);
  EXPECT_EQ(c_.select, 1);
  EXPECT_EQ(c_.mmsw, 1);
  EXPECT_EQ(c_.fitsw, 1);
  EXPECT_EQ(c_.mask, 0);
  EXPECT_EQ(c_.fitmd, 0);
}

TEST_F(ReadcntlTest, EmptyGroupsGiveEveryDefault) {
  c_.nfunc = 9;  // stale values from an earlier read must not survive
  c_.kdef = {4};
  ASSERT_TRUE(run(kEmptyGroups).ok());
  EXPECT_EQ(echo_, "");
  const Control d;
  EXPECT_EQ(c_.nfunc, d.nfunc);
  EXPECT_EQ(c_.ndef, 0);
  EXPECT_EQ(c_.ispot, 0);
  EXPECT_EQ(c_.nwin, 3);
  EXPECT_EQ(c_.intp, 0);
  EXPECT_EQ(c_.select, 1);
  EXPECT_EQ(c_.mmsw, 1);
  EXPECT_EQ(c_.fitsw, 1);
  EXPECT_EQ(c_.mask, 0);
  EXPECT_EQ(c_.fitmd, 0);
  EXPECT_EQ(c_.npoint, 46);
  EXPECT_TRUE(c_.kdef.empty());
  EXPECT_EQ(c_.npara, 14);
  EXPECT_EQ(c_.tcld, 0.15000000596046448);
  EXPECT_EQ(c_.thi, 0.30000001192092896);
  EXPECT_EQ(c_.tlo, -0.15000000596046448);
}

TEST_F(ReadcntlTest, ExcludedStepsOutsideOneToNdatAreSkippedSilently) {
  ASSERT_TRUE(run("46\n10 10\n&DATA NDEF=3 /\n&CONTRL /\n&NPT /\n5\n0\n7\n").ok());
  EXPECT_EQ(echo_, " ----\n 3\n 1 5\n 2 7\n ----\n");
  EXPECT_EQ(c_.kdef, (std::vector<std::int16_t>{5, 7}));

  ASSERT_TRUE(
      run("46\n10 10\n&DATA NDEF=4 /\n&CONTRL /\n&NPT /\n47\n-3\n46\n46\n").ok());
  EXPECT_EQ(echo_, " ----\n 4\n 1 46\n 2 46\n ----\n");
  EXPECT_EQ(c_.kdef, (std::vector<std::int16_t>{46, 46}));
}

TEST_F(ReadcntlTest, NdefOutsideZeroToNdatIsRejectedWithoutReadingSteps) {
  // The steps are not read, so the garbage after the groups is never seen.
  Status st = run("46\n10 10\n&DATA NDEF=47 /\n&CONTRL /\n&NPT /\nxx\n");
  EXPECT_EQ(st.code, Code::kInvalid);
  EXPECT_EQ(st.msg, at(3) + "NDEF = 47 is outside 0..NDAT (46)");
  EXPECT_EQ(echo_, "");
  st = run("46\n10 10\n&DATA NDEF=-1 /\n&CONTRL /\n&NPT /\n");
  EXPECT_EQ(st.code, Code::kInvalid);
  EXPECT_EQ(echo_, "");
  // The NDAT of group DATA has no effect, neither on NDAT nor on the test.
  st = run("46\n10 10\n&DATA NDAT=50 NDEF=47 /\n&CONTRL /\n&NPT /\n");
  EXPECT_EQ(st.code, Code::kInvalid);
  EXPECT_EQ(echo_, "");
  ASSERT_TRUE(run("46\n10 10\n&DATA NDAT=50 /\n&CONTRL /\n&NPT /\n").ok());
  EXPECT_EQ(c_.ndat, 46);
}

TEST_F(ReadcntlTest, NdatMustLieInThreeTo200) {
  for (int ndat : {2, 3, 200, 201, -5}) {
    Status st = run(std::to_string(ndat) + "\n1 1\n&DATA /\n&CONTRL /\n&NPT /\n");
    if (ndat == 3 || ndat == 200) {
      EXPECT_TRUE(st.ok()) << ndat << st.msg;
      EXPECT_EQ(c_.ndat, ndat);
    } else {
      EXPECT_EQ(st.code, Code::kInvalid) << ndat;
      EXPECT_EQ(st.msg, at(1) + "NDAT = " + std::to_string(ndat) +
                            " is outside 3..200");
    }
  }
}

TEST_F(ReadcntlTest, RetainedStepsBeyond200AreEchoedButNotStored) {
  std::string text = "250\n1 1\n&DATA NDEF=201 /\n&CONTRL /\n&NPT /\n";
  std::string want = " ----\n 201\n";
  for (int t = 1; t <= 201; ++t) {
    text += std::to_string(t) + "\n";
    want += " " + std::to_string(t) + " " + std::to_string(t) + "\n";
  }
  want += " ----\n";
  EXPECT_EQ(run(text).code, Code::kInvalid);  // NDAT 250
  EXPECT_EQ(echo_, want);
  ASSERT_EQ(c_.kdef.size(), 200u);
  EXPECT_EQ(c_.kdef.back(), 200);
}

TEST_F(ReadcntlTest, ResidualLimitsFollowFitMode) {
  struct Case { const char* contrl; double thi, tlo; };
  for (const Case& k : {Case{"FITMD=1, TCLD=0.1", 0.1, -0.2},
                        Case{"FITMD=2, TCLD=0.1", 0.1, -0.1},
                        Case{"FITMD=-3, TCLD=0.1", 0.2, -0.1},
                        Case{"FITMD=1", 0.15000000596046448, -0.30000001192092896}}) {
    ASSERT_TRUE(run(std::string("46\n1 1\n&DATA /\n&CONTRL ") + k.contrl +
                    " /\n&NPT /\n").ok()) << k.contrl;
    EXPECT_EQ(c_.thi, k.thi) << k.contrl;
    EXPECT_EQ(c_.tlo, k.tlo) << k.contrl;
  }
}

TEST_F(ReadcntlTest, TcldAcceptsDecimalAndExponentNotation) {
  for (const char* v : {"2.5E-1", ".25", "0.25d0", "25D-2", "+0.25", "2.5e-1",
                        "0.250", "25e-2"}) {
    ASSERT_TRUE(run(std::string("46\n1 1\n&DATA /\n&CONTRL TCLD=") + v +
                    " /\n&NPT /\n").ok()) << v;
    EXPECT_EQ(c_.tcld, 0.25) << v;
  }
  // Correct rounding, and a given 0.15 is not the widened default.
  ASSERT_TRUE(run("46\n1 1\n&DATA /\n&CONTRL TCLD=0.15 /\n&NPT /\n").ok());
  EXPECT_EQ(c_.tcld, 0.15);
  ASSERT_TRUE(run("46\n1 1\n&DATA /\n&CONTRL TCLD=2 /\n&NPT /\n").ok());
  EXPECT_EQ(c_.tcld, 2.0);
  for (const char* v : {"1.2.3", "e5", "0x1p3", "inf", "nan", "1e", "1e999", "."}) {
    Status st = run(std::string("46\n1 1\n&DATA /\n&CONTRL TCLD=") + v +
                    " /\n&NPT /\n");
    EXPECT_EQ(st.code, Code::kBadControl) << v;
    EXPECT_EQ(st.msg.rfind(at(4), 0), 0u) << st.msg;
  }
}

TEST_F(ReadcntlTest, CustomaryNotationsAndLayouts) {
  // $ groups, &END / $END terminators in any case, lower-case names,
  // assignments spread over lines, a repeated key, text after the slash,
  // values continuing onto later lines, blank and CRLF lines.
  Status st = run(
      "\n 46  trailing words\r\n1200,\n\n 1500 more\n\n"
      "$data nfunc = 4,\n ndef=1  NdEf\n=\n2 $end text\n"
      "  &Contrl TCLD=1D-1 fitmd=2 select=-128 fitsw=127\n"
      "  mask=1 &End\n"
      "&npt npoint=23/ignored\n\n 9 x\n  \t \n 11\n");
  ASSERT_TRUE(st.ok()) << st.msg;
  EXPECT_EQ(c_.ndat, 46);
  EXPECT_EQ(c_.nline, 1200);
  EXPECT_EQ(c_.npix, 1500);
  EXPECT_EQ(c_.nfunc, 4);
  EXPECT_EQ(c_.npara, 10);
  EXPECT_EQ(c_.select, -128);
  EXPECT_EQ(c_.fitsw, 127);
  EXPECT_EQ(c_.mask, 1);
  EXPECT_EQ(c_.npoint, 23);
  EXPECT_EQ(c_.thi, 0.1);
  EXPECT_EQ(c_.tlo, -0.1);
  EXPECT_EQ(c_.kdef, (std::vector<std::int16_t>{9, 11}));
  EXPECT_EQ(echo_, " ----\n 2\n 1 9\n 2 11\n ----\n");
}

TEST_F(ReadcntlTest, UnknownGroupIsSkippedWithWarning) {
  testing::internal::CaptureStderr();
  Status st = run(
      "46\n1 1\n&DATA NFUNC=3 /\n&OTHER A='x/y',\n B=2 /\n"
      "$more &end\n&CONTRL NWIN=5 /\n&NPT /\n");
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(st.ok()) << st.msg;
  EXPECT_EQ(c_.nfunc, 3);
  EXPECT_EQ(c_.nwin, 5);
  EXPECT_EQ(err, at(4) + "warning: skipping unknown group &OTHER\n" + at(6) +
                     "warning: skipping unknown group $MORE\n");
}

TEST_F(ReadcntlTest, MalformedFilesNameTheLineAndWhatWasExpected) {
  struct Case { const char* text; int line; const char* what; };
  const Case cases[] = {
      {"", 0, "end of file while reading record 1 (expected NDAT)"},
      {"46\n\n", 0, "end of file while reading record 2 (expected NLINE)"},
      {"46\n1200\n", 0, "end of file while reading record 2 (expected NPIX)"},
      {"4x6\n", 1, "expected an integer for NDAT in record 1, found '4x6'"},
      {"46\n1200,,1500\n", 2,
       "expected an integer for NPIX in record 2, found ','"},
      {"46\n1200 / 1500\n", 2,
       "expected an integer for NPIX in record 2, found '/'"},
      {"2147483648\n", 1,
       "integer 2147483648 for NDAT in record 1 does not fit in 32 bits"},
      {"46\n1 1\nNFUNC=3\n", 3, "expected group &DATA, found 'NFUNC=3'"},
      {"46\n1 1\n&DATA /\n&NPT /\n", 4,
       "group &NPT out of order (expected &CONTRL)"},
      {"46\n1 1\n&CONTRL /\n&DATA /\n", 3,
       "group &CONTRL out of order (expected &DATA)"},
      {"46\n1 1\n&DATA\n FOO=1 /\n", 4,
       "unknown key FOO in group &DATA (expected one of NDAT, NFUNC, NDEF, ISPOT)"},
      {"46\n1 1\n&DATA /\n&CONTRL NPOINT=4 /\n", 4,
       "unknown key NPOINT in group &CONTRL (expected one of NWIN, INTP, "
       "SELECT, MMSW, TCLD, FITSW, MASK, FITMD)"},
      {"46\n1 1\n&DATA NFUNC 6 /\n", 3,
       "expected '=' after key NFUNC in group &DATA, found '6'"},
      {"46\n1 1\n&DATA NFUNC=six /\n", 3,
       "expected an integer for NFUNC in group &DATA, found 'six'"},
      // Control bytes never reach the message; long text is shortened.
      {"\x01\x02\n", 1, "expected an integer for NDAT in record 1, found '?" "?'"},
      {"46\n1 1\n&DATA NFUNC=6\x1b[2J\v /\n", 3,
       "expected an integer for NFUNC in group &DATA, found '6?[2J?'"},
      {"46\n1 1\n&DATA /\n&CONTRL TCLD=0.12345678901234567890123456x /\n", 4,
       "expected a number for TCLD in group &CONTRL, found '0.1234567890123456789012...'"},
      {"46\n1 1\n&DATA NFUNC=, /\n", 3,
       "expected a value for NFUNC in group &DATA, found ','"},
      {"46\n1 1\n&DATA NFUNC=6\n&CONTRL /\n", 4,
       "expected a key or '/' in group &DATA, found '&CONTRL'"},
      {"46\n1 1\n&DATA /\n&CONTRL\n FITMD=128 /\n", 5,
       "FITMD = 128 in group &CONTRL is outside the one-byte range -128..127"},
      {"46\n1 1\n&DATA /\n&CONTRL SELECT=-129 /\n", 4,
       "SELECT = -129 in group &CONTRL is outside the one-byte range -128..127"},
      {"46\n1 1\n&DATA /\n&CONTRL\n", 0,
       "end of file while reading group &CONTRL (expected '/')"},
      {"46\n1 1\n&DATA /\n&CONTRL /\n", 0, "end of file (expected group &NPT)"},
      {"46\n1 1\n&DATA /\n&X a=1\n", 0,
       "end of file while skipping group &X (expected '/')"},
      {"46\n1 1\n&DATA NDEF=2 /\n&CONTRL /\n&NPT /\n12\n\n", 0,
       "end of file while reading the excluded time steps (expected step 2 of 2)"},
      {"46\n1 1\n&DATA NDEF=2 /\n&CONTRL /\n&NPT /\n12\nend\n", 7,
       "expected an integer for step 2 of 2 in the excluded time steps, found 'end'"},
  };
  testing::internal::CaptureStderr();
  for (const Case& k : cases) {
    Status st = run(k.text);
    EXPECT_EQ(st.code, Code::kBadControl) << k.text;
    std::string where = k.line > 0 ? at(k.line) : path_ + ": ";
    EXPECT_EQ(st.msg, where + k.what) << k.text;
  }
  testing::internal::GetCapturedStderr();
  // The echo written before the failure stands.
  run("46\n1 1\n&DATA NDEF=2 /\n&CONTRL /\n&NPT /\n12\nend\n");
  EXPECT_EQ(echo_, " ----\n 2\n 1 12\n");
}

TEST_F(ReadcntlTest, NulByteIsNeitherAnExponentNorASeparator) {
  const std::string text("46\n1 1\n&DATA /\n&CONTRL TCLD=1\0" "5 /\n&NPT /\n", 40);
  std::FILE* f = std::fopen(path_.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  Status st = read(Build::kFull);
  EXPECT_EQ(st.code, Code::kBadControl);
  EXPECT_EQ(st.msg, at(4) + "expected a number for TCLD in group &CONTRL, found '1?5'");
}

TEST_F(ReadcntlTest, MissingFileIsReportedAndNotCreated) {
  Status st = read(Build::kFull);
  EXPECT_EQ(st.code, Code::kIo);
  EXPECT_EQ(st.msg, path_ + ": cannot open: No such file or directory");
  struct stat sb;
  EXPECT_NE(stat(path_.c_str(), &sb), 0);
}

TEST_F(ReadcntlTest, FixedPeriodBuildReadsNoNptGroup) {
  const Build fixed = Build::kFixedPeriod;
  ASSERT_TRUE(run("46\n1 1\n&DATA NDEF=1 /\n&CONTRL /\n3\n", fixed).ok());
  EXPECT_EQ(c_.npoint, 46);
  EXPECT_EQ(c_.kdef, (std::vector<std::int16_t>{3}));
  // An NPT group is never read: harmless with NDEF 0 ...
  ASSERT_TRUE(run("46\n1 1\n&DATA /\n&CONTRL /\n&NPT NPOINT=0 /\n", fixed).ok());
  EXPECT_EQ(c_.npoint, 46);
  // ... but with NDEF > 0 it stands where the first step is expected.
  Status st = run("46\n1 1\n&DATA NDEF=1 /\n&CONTRL /\n&NPT /\n3\n", fixed);
  EXPECT_EQ(st.code, Code::kBadControl);
  EXPECT_EQ(st.msg, at(5) +
                        "expected an integer for step 1 of 1 in the excluded "
                        "time steps, found '&NPT'");
  // The full build does need the group.
  st = run("46\n1 1\n&DATA NDEF=1 /\n&CONTRL /\n3\n");
  EXPECT_EQ(st.msg, at(5) + "expected group &NPT, found '3'");
}

TEST_F(ReadcntlTest, StartUpLimits) {
  struct Case { const char* rec2; const char* data; const char* contrl;
                const char* npt; bool ok; int line; };
  const Case cases[] = {
      {"1 1", "NFUNC=0", "", "", true, 0},
      {"1 1", "NFUNC=23", "", "", true, 0},
      {"1 1", "NFUNC=-1", "", "", false, 3},
      {"1 1", "NFUNC=24", "", "", false, 3},
      {"1 1", "", "", "NPOINT=0", false, 5},
      {"1 1", "", "", "NPOINT=-46", false, 5},
      {"1 1", "", "", "NPOINT=1", true, 0},
      {"0 0", "", "", "", true, 0},
      {"-1 0", "", "", "", false, 2},
      {"0 -1", "", "", "", false, 2},
      {"1 1", "", "NWIN=-1", "", false, 4},
      {"1 1", "", "NWIN=-1 FITMD=1", "", false, 4},
      {"1 1", "", "NWIN=-1 FITMD=2", "", true, 0},
      {"1 1", "", "NWIN=-1 MMSW=0", "", true, 0},
      {"1 1", "", "NWIN=0", "", true, 0},
  };
  for (const Case& k : cases) {
    std::string text = std::string("46\n") + k.rec2 + "\n&DATA " + k.data +
                       " /\n&CONTRL " + k.contrl + " /\n&NPT " + k.npt + " /\n";
    Status st = run(text);
    if (k.ok) {
      EXPECT_TRUE(st.ok()) << text << st.msg;
    } else {
      EXPECT_EQ(st.code, Code::kInvalid) << text;
      EXPECT_EQ(st.msg.rfind(at(k.line), 0), 0u) << st.msg;
    }
  }
  Status st = run("46\n1 1\n&DATA NFUNC=24 /\n&CONTRL /\n&NPT /\n");
  EXPECT_EQ(st.msg, at(3) + "NFUNC = 24 is outside 0..23");
}

}  // namespace
}  // namespace kov

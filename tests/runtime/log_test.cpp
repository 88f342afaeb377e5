// The common runtime's logger: printf-style formatting, records and refusals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "zecm.h"
#include "zesim.h"

namespace {

// A logger writing into a fresh default log directory ($TMPDIR/zesim-log).
class Logger : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zecm-log-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        setenv("TMPDIR", directory_.c_str(), 1);
        ASSERT_EQ(zecmInitLogger(), 0u);
    }
    void TearDown() override {
        unsetenv("TMPDIR");
        std::system(("rm -rf '" + directory_ + "'").c_str());
    }
    std::string contents() const {
        std::ifstream file(directory_ + "/zesim-log/zecm.log");
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    std::string directory_;
};

TEST_F(Logger, FormatsTheVariadicArgumentsIntoOneRecord) {
    ASSERT_EQ(zecmLogMessage(zecmLC_NN, zecmLL_ALARM, "run", "model.cpp", 12, "%d items, %s, %05.1f%%", 42, "ok", 3.25),
              0u);
    const std::string text = contents();
    EXPECT_NE(text.find("[NN] [ALARM] [run model.cpp:12] 42 items, ok, 003.2%\n"), std::string::npos) << text;
}

TEST_F(Logger, MessagesOfAnyLengthAreWrittenWhole) {
    const std::string longMessage(100000, 'x');
    ASSERT_EQ(zecmLogMessage(zecmLC_APP, zecmLL_TRACE, "f", "g", 1, "%s|", longMessage.c_str()), 0u);
    EXPECT_NE(contents().find(longMessage + "|\n"), std::string::npos);
}

TEST_F(Logger, TraceShowsTheFormattedArguments) {
    zesimReset();
    zesimTrace(1);
    zecmLogMessage(zecmLC_CM, zecmLL_INFO, "f", "g", 3, "%s=%d", "n", 5);
    zecmLogMessage(zecmLC_CM, zecmLL_INFO, "f", "g", 3, nullptr);
    std::string trace(zesimTraceRead(nullptr, 0) + 1, '\0');
    zesimTraceRead(&trace[0], trace.size());
    trace.resize(trace.size() - 1);
    zesimReset();
    EXPECT_EQ(trace,
              "zecmLogMessage(1, 2, \"f\", \"g\", 3, \"%s=%d\", \"n=5\") = 0\n"
              "zecmLogMessage(1, 2, \"f\", \"g\", 3, NULL) = 100001\n");
}

}  // namespace

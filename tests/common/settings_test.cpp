#include "platform/settings.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/pty_controller.h"

namespace {

void WriteWholeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

TEST(Settings, ReadsBackWhatItWrote)
{
    TempSettings ini;
    ASSERT_TRUE(Settings::WriteInt("Loop1", "First", -42));
    ASSERT_TRUE(Settings::WriteBool("Loop1", "Spy", true));
    ASSERT_TRUE(Settings::WriteBool("Loop1", "Log", false));
    ASSERT_TRUE(Settings::WriteFloat("Loop1", "Rate", 1.25));
    ASSERT_TRUE(Settings::WriteFloat("Loop1", "Tiny", 0.1));
    ASSERT_TRUE(Settings::WriteString("Loop1", "Port", "COM3"));

    EXPECT_EQ(Settings::ReadInt("Loop1", "First", 0), -42);
    EXPECT_TRUE(Settings::ReadBool("Loop1", "Spy", false));
    EXPECT_FALSE(Settings::ReadBool("Loop1", "Log", true));
    EXPECT_DOUBLE_EQ(Settings::ReadFloat("Loop1", "Rate", 0), 1.25);
    EXPECT_DOUBLE_EQ(Settings::ReadFloat("Loop1", "Tiny", 0), 0.1);
    EXPECT_EQ(Settings::ReadString("Loop1", "Port", ""), "COM3");
    EXPECT_EQ(ReadWholeFile(ini.Path()), "[Loop1]\nFirst=-42\nSpy=1\nLog=0\nRate=1.25\nTiny=0.1\nPort=COM3\n");

    ASSERT_TRUE(Settings::WriteInt("loop1", "FIRST", 7));  // names match whatever their case
    EXPECT_EQ(Settings::ReadInt("LOOP1", "first", 0), 7);
}

TEST(Settings, MissingOrUnconvertibleValuesGiveTheDefault)
{
    TempSettings ini;
    std::remove(ini.Path().c_str());
    EXPECT_EQ(Settings::ReadInt("S", "K", 5), 5);  // no file at all
    EXPECT_EQ(Settings::ReadString("S", "K", "dflt"), "dflt");

    WriteWholeFile(ini.Path(),
                   "[S]\nWord=abc\nTrailing=12x\nHuge=99999999999\nEmpty=\nTwo=2\nSpaced =  8 \nFl=1.5.2\n");
    EXPECT_EQ(Settings::ReadInt("S", "Word", 5), 5);
    EXPECT_EQ(Settings::ReadInt("S", "Trailing", 5), 5);
    EXPECT_EQ(Settings::ReadInt("S", "Huge", 5), 5);
    EXPECT_EQ(Settings::ReadInt("S", "Empty", 5), 5);
    EXPECT_EQ(Settings::ReadInt("S", "Missing", 5), 5);
    EXPECT_EQ(Settings::ReadInt("Other", "Two", 5), 5);
    EXPECT_EQ(Settings::ReadInt("S", "Spaced", 5), 8);
    EXPECT_TRUE(Settings::ReadBool("S", "Two", false));  // any non-zero integer
    EXPECT_TRUE(Settings::ReadBool("S", "Word", true));
    EXPECT_FALSE(Settings::ReadBool("S", "Word", false));
    EXPECT_DOUBLE_EQ(Settings::ReadFloat("S", "Fl", 3.5), 3.5);
    EXPECT_DOUBLE_EQ(Settings::ReadFloat("S", "Word", 3.5), 3.5);
    EXPECT_EQ(Settings::ReadString("S", "Empty", "dflt"), "");

    // Sizes beyond 32 bits have a reader of their own.
    EXPECT_EQ(Settings::ReadInt64("S", "Huge", 5), 99999999999LL);
    EXPECT_EQ(Settings::ReadInt64("S", "Two", 5), 2);
    EXPECT_EQ(Settings::ReadInt64("S", "Word", 5), 5);
    EXPECT_EQ(Settings::ReadInt64("S", "Trailing", 5), 5);
    EXPECT_TRUE(Settings::WriteString("S", "Big", "3000000000"));
    EXPECT_EQ(Settings::ReadInt64("S", "Big", 640000), 3000000000LL);
    EXPECT_TRUE(Settings::WriteString("S", "Beyond", "99999999999999999999"));
    EXPECT_EQ(Settings::ReadInt64("S", "Beyond", 7), 7);
}

TEST(Settings, WritingKeepsEveryOtherLine)
{
    TempSettings ini;
    WriteWholeFile(ini.Path(),
                   "; written by hand\n"
                   "[General]\n"
                   "Lang=en\n"
                   "Odd line without equals\n"
                   "Colour=blue\n"
                   "\n"
                   "[Loop1]\n"
                   "Port=COM1\n"
                   "\n"
                   "[Tail]\n"
                   "X=1\n");
    ASSERT_TRUE(Settings::WriteString("general", "colour", "red"));   // replaced in place
    ASSERT_TRUE(Settings::WriteInt("Loop1", "First", 3));            // new key, end of its section
    ASSERT_TRUE(Settings::WriteString("New", "Key", "a=b; c"));      // new section, at the end
    EXPECT_EQ(ReadWholeFile(ini.Path()),
              "; written by hand\n"
              "[General]\n"
              "Lang=en\n"
              "Odd line without equals\n"
              "colour=red\n"
              "\n"
              "[Loop1]\n"
              "Port=COM1\n"
              "First=3\n"
              "\n"
              "[Tail]\n"
              "X=1\n"
              "[New]\n"
              "Key=a=b; c\n");
    EXPECT_EQ(Settings::ReadString("New", "Key", ""), "a=b; c");
}

TEST(Settings, CrLfFilesAreReadAndKeepTheirLineEnds)
{
    TempSettings ini;
    WriteWholeFile(ini.Path(), "[A]\r\nName=Pump\r\nN=4\r\n");
    EXPECT_EQ(Settings::ReadString("A", "Name", ""), "Pump");
    EXPECT_EQ(Settings::ReadInt("A", "N", 0), 4);
    ASSERT_TRUE(Settings::WriteInt("A", "N", 5));
    EXPECT_EQ(ReadWholeFile(ini.Path()), "[A]\r\nName=Pump\r\nN=5\r\n");
}

TEST(Settings, RefusesWhatWouldCorruptTheFile)
{
    TempSettings ini;
    WriteWholeFile(ini.Path(), "[A]\nK=1\n");
    EXPECT_FALSE(Settings::WriteString("A", "K", "two\nlines"));
    EXPECT_FALSE(Settings::WriteString("A", "K=J", "x"));
    EXPECT_FALSE(Settings::WriteString("A]", "K", "x"));
    EXPECT_FALSE(Settings::WriteString("", "K", "x"));
    EXPECT_EQ(ReadWholeFile(ini.Path()), "[A]\nK=1\n");

    TempDir dir;
    WriteWholeFile(dir.File("plain"), "a file, not a folder");
    Settings::SetFile(dir.File("plain") + "/Gallion.ini");
    bool written = Settings::WriteInt("A", "K", 1);
    int read = Settings::ReadInt("A", "K", 9);
    Settings::SetFile("");
    EXPECT_FALSE(written);
    EXPECT_EQ(read, 9);
}

TEST(Settings, FloatsUseTheLocalesDecimalSeparator)
{
    TempSettings ini;
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr)
        << "locale de_DE.UTF-8 missing: ./test.sh generates it";
    bool written = Settings::WriteFloat("F", "Price", 1.625);
    double back = Settings::ReadFloat("F", "Price", 0);
    WriteWholeFile(ini.Path(), "[F]\nHand=2,5\n");
    double hand = Settings::ReadFloat("F", "Hand", 0);
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_TRUE(written);
    EXPECT_DOUBLE_EQ(back, 1.625);
    EXPECT_DOUBLE_EQ(hand, 2.5);

    // With a point as separator the same file is written with a point.
    ASSERT_TRUE(Settings::WriteFloat("F", "Price", 1.625));
    EXPECT_EQ(ReadWholeFile(ini.Path()), "[F]\nHand=2,5\nPrice=1.625\n");
}

TEST(Settings, CommaIsWrittenUnderACommaLocale)
{
    TempSettings ini;
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    Settings::WriteFloat("F", "Price", -0.5);
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(ReadWholeFile(ini.Path()), "[F]\nPrice=-0,5\n");
}

// The windows program runs its engines under LC_NUMERIC "C" but keeps the file's floats in the
// user's locale: the separator is taken from the environment, not from the process.
TEST(Settings, FloatsFollowTheUsersLocaleWhileTheProcessRunsInC)
{
    TempSettings ini;
    const char* old_all = std::getenv("LC_ALL");
    const std::string saved_all = old_all ? old_all : "";
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    const char user_point = Settings::UserDecimalPoint();
    setenv("LC_ALL", "C", 1);
    const char c_point = Settings::UserDecimalPoint();
    if (old_all)
        setenv("LC_ALL", saved_all.c_str(), 1);
    else
        unsetenv("LC_ALL");
    ASSERT_EQ(user_point, ',') << "locale de_DE.UTF-8 missing: ./test.sh generates it";
    EXPECT_EQ(c_point, '.');

    ASSERT_STREQ(std::localeconv()->decimal_point, ".");
    Settings::SetDecimalPoint(user_point);
    const bool written = Settings::WriteFloat("F", "Price", 1.625);
    const std::string text = ReadWholeFile(ini.Path());
    const double back = Settings::ReadFloat("F", "Price", 0);
    Settings::SetDecimalPoint(0);
    EXPECT_TRUE(written);
    EXPECT_EQ(text, "[F]\nPrice=1,625\n");
    EXPECT_DOUBLE_EQ(back, 1.625);
    // The process's own locale ("C") decides again.
    ASSERT_TRUE(Settings::WriteFloat("F", "Price", 0.5));
    EXPECT_EQ(ReadWholeFile(ini.Path()), "[F]\nPrice=0.5\n");
}

// A file written under another locale is read whichever separator it has; more than one
// separator is no number.
TEST(Settings, FloatsAreReadWithEitherSeparator)
{
    TempSettings ini;
    WriteWholeFile(ini.Path(), "[F]\nComma=2,5\nPoint=3.25\nBoth=1,000.5\nTwo=1.2.3\n");
    EXPECT_DOUBLE_EQ(Settings::ReadFloat("F", "Comma", 0), 2.5);
    EXPECT_DOUBLE_EQ(Settings::ReadFloat("F", "Point", 0), 3.25);
    EXPECT_DOUBLE_EQ(Settings::ReadFloat("F", "Both", 7), 7);
    EXPECT_DOUBLE_EQ(Settings::ReadFloat("F", "Two", 7), 7);
}

TEST(Settings, FileLocationFollowsOptionThenEnvironment)
{
    TempSettings ini;
    EXPECT_EQ(Settings::File(), ini.Path());
    TempDir dir;
    Settings::SetFile(dir.File("option.ini"));
    EXPECT_EQ(Settings::File(), dir.File("option.ini"));
    ASSERT_TRUE(Settings::WriteInt("A", "B", 1));
    EXPECT_EQ(ReadWholeFile(dir.File("option.ini")), "[A]\nB=1\n");
    Settings::SetFile("");
    EXPECT_EQ(Settings::File(), ini.Path());

    unsetenv("GALLION_INI");
    std::string fallback = Settings::File();
    setenv("GALLION_INI", ini.Path().c_str(), 1);
    EXPECT_EQ(fallback.substr(fallback.size() - 12), "/Gallion.ini") << fallback;
}

TEST(Settings, ConcurrentWritersLoseNothing)
{
    TempSettings ini;
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int k = 0; k < 25; ++k)
                Settings::WriteInt("T" + std::to_string(t), "K" + std::to_string(k), t * 100 + k);
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    for (int t = 0; t < 4; ++t) {
        for (int k = 0; k < 25; ++k)
            EXPECT_EQ(Settings::ReadInt("T" + std::to_string(t), "K" + std::to_string(k), -1), t * 100 + k);
    }
}

}  // namespace

// Switch tables: parsing, the usage text, every error's message and status.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <cmath>
#include <string>
#include <vector>

#include "args.h"

using testing::ExitedWithCode;
using testing::StrEq;

namespace {

// The example table: a mandatory text i, optional ints l (one value) and p
// (two), an optional flag sp.
struct ExampleTable {
    char i[256] = "";
    int l = 7;
    int p[2] = {1, 2};
    int sp = 0;
    SwitchEntry rows[5] = {
        {"i", 1, STRING, 256, i, 0, "A"},
        {"l", 0, INT, 1, &l, 0, "B"},
        {"p", 0, INT, 2, p, 0, "C"},
        {"sp", 0, BOOLEAN, 1, &sp, 0, "D"},
        {nullptr, 0, 0, 0, nullptr, 0, nullptr},
    };
};

const std::string EXAMPLE_USAGE =
    "usage:\tprog\n\t-i <string>\n\t[-l <int>]\n\t[-p <int> <int>]\n\t[-sp]\n"
    "where:\t\"i\" A\n\t\"l\" B\n\t\"p\" C\n\t\"sp\" D\n";

int parse(SwitchEntry* table, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "prog");
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    return args_parse(static_cast<int>(arguments.size()), argv.data(), table);
}

}  // namespace

TEST(Switches, UsageTextIsBuiltFromTheTable)
{
    ExampleTable t;
    char program[] = "prog";
    char* argv[] = {program, nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(args_usage(argv, t.rows), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), EXAMPLE_USAGE);
}

TEST(Switches, ValuesGoToTheirTargetsInAnyOrder)
{
    ExampleTable t;
    EXPECT_EQ(parse(t.rows, {"-p", "5", "-6", "-sp", "-i", "-o", "-l", "12abc"}), 0);
    EXPECT_STREQ(t.i, "-o") << "a value may look like a switch";
    EXPECT_EQ(t.l, 12) << "characters after a leading number are ignored";
    EXPECT_EQ(t.p[0], 5);
    EXPECT_EQ(t.p[1], -6);
    EXPECT_EQ(t.sp, 1);
    EXPECT_EQ(args_found_arg(t.rows, "p"), 1);
    EXPECT_EQ(args_found_arg(t.rows, "i"), 1);
    EXPECT_EQ(args_found_arg(t.rows, "-i"), 0) << "names are given without the dash";
    EXPECT_EQ(args_found_arg(t.rows, "nothing"), 0);
}

TEST(Switches, AnyFirstCharacterSelectsTheRow)
{
    for (const char* form : {"-i", "+i", "/i"}) {
        ExampleTable t;
        EXPECT_EQ(parse(t.rows, {form, "x.pgm"}), 0);
        EXPECT_STREQ(t.i, "x.pgm") << form;
    }
}

TEST(Switches, NamesAreNeverMatchedByAPrefix)
{
    int l = 0, lt = 0;
    SwitchEntry rows[] = {
        {"l", 0, INT, 1, &l, 0, "l"}, {"lt", 0, INT, 1, &lt, 0, "lt"}, {nullptr, 0, 0, 0, nullptr, 0, nullptr}};
    EXPECT_EQ(parse(rows, {"-lt", "3"}), 0);
    EXPECT_EQ(l, 0);
    EXPECT_EQ(lt, 3);
    SwitchEntry again[] = {
        {"l", 0, INT, 1, &l, 0, "l"}, {"lt", 0, INT, 1, &lt, 0, "lt"}, {nullptr, 0, 0, 0, nullptr, 0, nullptr}};
    EXPECT_EQ(parse(again, {"-l", "4"}), 0);
    EXPECT_EQ(l, 4);
    EXPECT_EQ(lt, 3);
}

TEST(Switches, NumbersThatDoNotConvertKeepTheDefault)
{
    float f = 2.5f;
    int n = 9;
    int none = 4;
    SwitchEntry rows[] = {{"f", 0, FLOAT, 1, &f, 0, "f"},
                          {"n", 0, INT, 1, &n, 0, "n"},
                          {"z", 0, INT, 0, &none, 0, "z"},
                          {nullptr, 0, 0, 0, nullptr, 0, nullptr}};
    EXPECT_EQ(parse(rows, {"-f", "abc", "-n", "x1", "-z"}), 0);
    EXPECT_EQ(f, 2.5f);
    EXPECT_EQ(n, 9);
    EXPECT_EQ(none, 4);
    EXPECT_EQ(args_found_arg(rows, "f"), 1);
    EXPECT_EQ(args_found_arg(rows, "z"), 1) << "a switch of no values is only marked found";
}

TEST(Switches, FloatsAreSinglePrecisionAndIntsAreClampedToTheirRange)
{
    float f = 0;
    int big = 0, small = 0;
    SwitchEntry rows[] = {{"f", 0, FLOAT, 1, &f, 0, "f"},
                          {"b", 0, INT, 1, &big, 0, "b"},
                          {"s", 0, INT, 1, &small, 0, "s"},
                          {nullptr, 0, 0, 0, nullptr, 0, nullptr}};
    EXPECT_EQ(parse(rows, {"-f", "-2", "-b", "99999999999", "-s", "-99999999999"}), 0);
    EXPECT_EQ(f, -2.0f);
    EXPECT_EQ(big, 2147483647);
    EXPECT_EQ(small, -2147483647 - 1);
    float g = 0;
    SwitchEntry more[] = {{"g", 0, FLOAT, 1, &g, 0, "g"}, {nullptr, 0, 0, 0, nullptr, 0, nullptr}};
    EXPECT_EQ(parse(more, {"-g", "0.4"}), 0);
    EXPECT_EQ(static_cast<double>(g), 0.4000000059604644775390625);
}

TEST(Switches, AFlagInvertsItsDefault)
{
    int on = 1;
    SwitchEntry rows[] = {{"q", 0, BOOLEAN, 1, &on, 0, "q"}, {nullptr, 0, 0, 0, nullptr, 0, nullptr}};
    EXPECT_EQ(parse(rows, {"-q"}), 0);
    EXPECT_EQ(on, 0);
}

TEST(Switches, ATableWithoutMandatoryRowsAcceptsNoArguments)
{
    int l = 7;
    SwitchEntry rows[] = {{"l", 0, INT, 1, &l, 0, "B"}, {nullptr, 0, 0, 0, nullptr, 0, nullptr}};
    EXPECT_EQ(parse(rows, {}), 0);
    EXPECT_EQ(l, 7);
}

TEST(Switches, ATextOfTheBufferSizeLessOneFits)
{
    ExampleTable t;
    EXPECT_EQ(parse(t.rows, {"-i", std::string(255, 'a')}), 0);
    EXPECT_EQ(std::string(t.i), std::string(255, 'a'));
}

TEST(SwitchErrors, EachEndsWithItsMessageTheUsageTextAndStatus255)
{
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{}, "ERROR:  -i is required.\n"},
        {{"-l", "3"}, "ERROR:  -i is required.\n"},
        {{"image.pgm"}, "ERROR:  image.pgm not a valid switch.\n"},
        {{"--i", "x"}, "ERROR:  --i not a valid switch.\n"},
        {{"-i", "x", "-x"}, "ERROR:  -x not a valid switch.\n"},
        {{"-i", "x", "-l", "1", "-l", "2"}, ""},
        {{"-sp", "-sp", "-i", "x"}, ""},
        {{"-i", std::string(256, 'a')}, "ERROR:  the value of -i is longer than 255 characters.\n"},
        {{"-i"}, "ERROR:  -i needs a value.\n"},
        {{"-i", "x", "-p", "1"}, "ERROR:  -p needs 2 values.\n"},
        {{"-i", "x", ""}, "ERROR:  an empty argument is not a valid switch.\n"},
    };
    for (const Case& c : cases) {
        ExampleTable t;
        EXPECT_EXIT(parse(t.rows, c.arguments), ExitedWithCode(255), StrEq(c.message + EXAMPLE_USAGE))
            << testing::PrintToString(c.arguments);
    }
}

TEST(SwitchErrors, AnUndefinedTypeIsReportedWhenGiven)
{
    int x = 0;
    SwitchEntry rows[] = {{"x", 0, 9, 1, &x, 0, "X"}, {nullptr, 0, 0, 0, nullptr, 0, nullptr}};
    EXPECT_EXIT(parse(rows, {"-x"}), ExitedWithCode(255),
                StrEq("ERROR:  Switch type 9 undefined.\nusage:\tprog\n\t[-x]\nwhere:\t\"x\" X\n"));
}

TEST(SwitchDump, ShowsEveryRowInTableOrder)
{
    ExampleTable t;
    parse(t.rows, {"-i", "in.pgm", "-p", "3", "4"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(args_dump_args(t.rows), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nSwitchname:\ti\n  Mandatory:\tYES\n  Size:\t\t256\n  Type:\t\tSTRING\n  Value:\tin.pgm\n  "
              "Found:\tYES\n  Description:\tA\n"
              "\nSwitchname:\tl\n  Mandatory:\tNO\n  Size:\t\t1\n  Type:\t\tINT\n  Value:\t7\n  Found:\tNO\n  "
              "Description:\tB\n"
              "\nSwitchname:\tp\n  Mandatory:\tNO\n  Size:\t\t2\n  Type:\t\tINT\n  Value:\t3\n  Found:\tYES\n  "
              "Description:\tC\n"
              "\nSwitchname:\tsp\n  Mandatory:\tNO\n  Size:\t\t1\n  Type:\t\tBOOLEAN\n  Value:\tFALSE\n  Found:\tNO\n  "
              "Description:\tD\n");
    float f = 1.5f;
    SwitchEntry floats[] = {{"f", 0, FLOAT, 1, &f, 0, "F"}, {nullptr, 0, 0, 0, nullptr, 0, nullptr}};
    testing::internal::CaptureStderr();
    args_dump_args(floats);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nSwitchname:\tf\n  Mandatory:\tNO\n  Size:\t\t1\n  Type:\t\tFLOAT\n  Value:\t1.500000\n  Found:\tNO\n  "
              "Description:\tF\n");
}

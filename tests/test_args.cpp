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
    EXPECT_EQ(parse(t.rows, {"-p", "5", "-6", "-sp", "-i", "-o", "-l", "12"}), 0);
    EXPECT_STREQ(t.i, "-o") << "a value may look like a switch";
    EXPECT_EQ(t.l, 12);
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

TEST(Switches, ASwitchOfNoValuesIsOnlyMarkedFound)
{
    int none = 4;
    SwitchEntry rows[] = {{"z", 0, INT, 0, &none, 0, "z"}, {nullptr, 0, 0, 0, nullptr, 0, nullptr}};
    EXPECT_EQ(parse(rows, {"-z"}), 0);
    EXPECT_EQ(none, 4);
    EXPECT_EQ(args_found_arg(rows, "z"), 1);
}

TEST(Switches, NumbersThatConvertWholeAreStoredAsConverted)
{
    struct Case {
        const char* typed;
        bool is_int;
        double value;
    };
    const Case cases[] = {
        {"-2", false, -2.0},
        {"0.4", false, 0.4000000059604644775390625},  // single precision
        {"+3.5", false, 3.5},
        {" 7", false, 7.0},  // the conversion skips leading white space
        {"0x1p3", false, 8.0},
        {"1e-50", false, 0.0},  // below the smallest float: the nearest float
        {"-inf", false, -INFINITY},
        {"2147483647", true, 2147483647.0},
        {"-2147483648", true, -2147483648.0},
        {"+12", true, 12.0},
        {" 5", true, 5.0},
        {"007", true, 7.0},
    };
    for (const Case& c : cases) {
        float f = 99;
        int n = 99;
        SwitchEntry rows[] = {
            {"f", 0, FLOAT, 1, &f, 0, "f"}, {"n", 0, INT, 1, &n, 0, "n"}, {nullptr, 0, 0, 0, nullptr, 0, nullptr}};
        EXPECT_EQ(parse(rows, {c.is_int ? "-n" : "-f", c.typed}), 0) << c.typed;
        if (c.is_int) {
            EXPECT_EQ(n, static_cast<int>(c.value)) << c.typed;
            EXPECT_EQ(f, 99.0f) << c.typed;
        } else {
            EXPECT_EQ(static_cast<double>(f), c.value) << c.typed;
            EXPECT_EQ(n, 99) << c.typed;
        }
        EXPECT_STREQ(args_typed_value(rows, c.is_int ? "n" : "f"), c.typed) << "the value as typed is kept";
    }
    float nan_value = 0;
    SwitchEntry rows[] = {{"f", 0, FLOAT, 1, &nan_value, 0, "f"}, {nullptr, 0, 0, 0, nullptr, 0, nullptr}};
    EXPECT_EQ(parse(rows, {"-f", "nan"}), 0);
    EXPECT_TRUE(std::isnan(nan_value));
    ExampleTable t;
    EXPECT_EQ(parse(t.rows, {"-i", "x"}), 0);
    EXPECT_EQ(args_typed_value(t.rows, "l"), nullptr) << "a switch not given has no typed value";
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
        {{"-i", "x", "-l", "1", "-l", "2"}, "ERROR:  -l is given more than once.\n"},
        {{"-sp", "-sp", "-i", "x"}, "ERROR:  -sp is given more than once.\n"},
        {{"-h"}, "ERROR:  -h not a valid switch.\n--help prints the help.\n"},
        {{"-help"}, "ERROR:  -help not a valid switch.\n--help prints the help.\n"},
        {{"-?"}, "ERROR:  -? not a valid switch.\n--help prints the help.\n"},
        {{"-i", "x", "-hh"}, "ERROR:  -hh not a valid switch.\n"},
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

// A numeric value must convert whole, as a number of the switch's type; the
// message quotes it as typed, and the run ends there.
TEST(SwitchErrors, ANumberThatDoesNotConvertWholeIsASwitchError)
{
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"-l", "abc"}, "ERROR:  the value \"abc\" of -l is not an int.\n"},
        {{"-l", ""}, "ERROR:  the value \"\" of -l is not an int.\n"},
        {{"-l", "512x"}, "ERROR:  the value \"512x\" of -l is not an int.\n"},
        {{"-l", "512.7"}, "ERROR:  the value \"512.7\" of -l is not an int.\n"},
        {{"-l", "1e3"}, "ERROR:  the value \"1e3\" of -l is not an int.\n"},
        {{"-l", "0x10"}, "ERROR:  the value \"0x10\" of -l is not an int.\n"},
        {{"-l", "5 "}, "ERROR:  the value \"5 \" of -l is not an int.\n"},
        {{"-l", "2147483648"}, "ERROR:  the value \"2147483648\" of -l is outside the range of an int.\n"},
        {{"-l", "-99999999999"}, "ERROR:  the value \"-99999999999\" of -l is outside the range of an int.\n"},
        {{"-f", "1,5"}, "ERROR:  the value \"1,5\" of -f is not a float.\n"},
        {{"-f", "2px"}, "ERROR:  the value \"2px\" of -f is not a float.\n"},
        {{"-f", ""}, "ERROR:  the value \"\" of -f is not a float.\n"},
        {{"-f", "-"}, "ERROR:  the value \"-\" of -f is not a float.\n"},
        {{"-f", "1e39"}, "ERROR:  the value \"1e39\" of -f is outside the range of a float.\n"},
        {{"-f", "-1e39"}, "ERROR:  the value \"-1e39\" of -f is outside the range of a float.\n"},
        {{"-f", "1\n\"x\\"}, "ERROR:  the value \"1\\x0a\\x22x\\x5c\" of -f is not a float.\n"},
        {{"-q", "4", "x"}, "ERROR:  the value \"x\" of -q is not an int.\n"},
        {{"-q", "x", "4"}, "ERROR:  the value \"x\" of -q is not an int.\n"},
    };
    const std::string usage =
        "usage:\tprog\n\t[-l <int>]\n\t[-f <float>]\n\t[-q <int> <int>]\n"
        "where:\t\"l\" L\n\t\"f\" F\n\t\"q\" Q\n";
    for (const Case& c : cases) {
        int l = 7;
        float f = 2.5f;
        int q[2] = {1, 2};
        SwitchEntry rows[] = {{"l", 0, INT, 1, &l, 0, "L"},
                              {"f", 0, FLOAT, 1, &f, 0, "F"},
                              {"q", 0, INT, 2, q, 0, "Q"},
                              {nullptr, 0, 0, 0, nullptr, 0, nullptr}};
        EXPECT_EXIT(parse(rows, c.arguments), ExitedWithCode(255), StrEq(c.message + usage))
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

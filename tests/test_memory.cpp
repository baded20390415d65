// Fail-stop allocation and the fatal-error report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "memory.h"

using testing::ExitedWithCode;
using testing::StrEq;

TEST(Allocation, MatricesAreRowsOfTheirOwn)
{
    unsigned char** m = ucmatrix(3, 4);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) m[r][c] = static_cast<unsigned char>(r * 4 + c);
    EXPECT_EQ(m[2][3], 11);
    free_ucmatrix(m, 3, 4);

    double** empty_rows = dmatrix(3, 0);
    ASSERT_NE(empty_rows, nullptr);
    for (int r = 0; r < 3; ++r) EXPECT_NE(empty_rows[r], nullptr);
    free_dmatrix(empty_rows, 3, 0);

    double* v = dvector(5);
    v[4] = 1.5;
    EXPECT_EQ(v[4], 1.5);
    free_dvector(v, 5);
    free_ivector(ivector(0), 0);
}

TEST(Allocation, FatalErrorsPrintThreeLinesAndExitWithStatus1)
{
    EXPECT_EXIT(errmsg("Input file not found"), ExitedWithCode(1),
                StrEq("Program encounters run-time error...\nInput file not found\n...now exiting to system...\n"));
    EXPECT_EXIT(errmsg(""), ExitedWithCode(1),
                StrEq("Program encounters run-time error...\n\n...now exiting to system...\n"));
}

TEST(Allocation, RefusedRequestsEndTheProcess)
{
    const char* vector_failure =
        "Program encounters run-time error...\nMemory allocation failure\n...now exiting to system...\n";
    const char* row_failure =
        "Program encounters run-time error...\nMemory alloation failure\n...now exiting to system...\n";
    EXPECT_EXIT(dvector(-1), ExitedWithCode(1), StrEq(vector_failure));
    EXPECT_EXIT(imatrix(-2, 4), ExitedWithCode(1), StrEq(vector_failure));
    EXPECT_EXIT(ucmatrix(2, -1), ExitedWithCode(1), StrEq(row_failure));
}

// The option scanner's own rules, which differ from the C library's.
#include "optscan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Step {
    int option;
    const char *argument;   // expected optarg, or null
    int index;              // expected optind afterwards
};

void ExpectScan(std::vector<const char *> args, const std::vector<Step> &steps)
{
    getopt_reset();
    std::vector<char *> argv;
    for (const char *arg : args) {
        argv.push_back(const_cast<char *>(arg));
    }
    int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    for (size_t n = 0; n < steps.size(); n++) {
        int option = getopt(argc, argv.data(), "p:t:u");
        EXPECT_EQ(option, steps[n].option) << "step " << n;
        if (steps[n].argument == nullptr) {
            EXPECT_EQ(optarg, nullptr) << "step " << n;
        } else {
            EXPECT_STREQ(optarg, steps[n].argument) << "step " << n;
        }
        EXPECT_EQ(optind, steps[n].index) << "step " << n;
    }
}

TEST(Getopt, TakesArgumentsAttachedOrFromTheNextWord)
{
    ExpectScan({"ruvado", "-p", "1600", "-th", "f"},
               {{'p', "1600", 3}, {'t', "h", 4}, {-1, nullptr, 4}});
}

TEST(Getopt, WalksAClusterAndTakesTheRestAsArgument)
{
    ExpectScan({"ruvado", "-uup5", "f"},
               {{'u', nullptr, 1}, {'u', nullptr, 1}, {'p', "5", 2}, {-1, nullptr, 2}});
    ExpectScan({"ruvado", "-u", "f"}, {{'u', nullptr, 2}, {-1, nullptr, 2}});
}

TEST(Getopt, DoubleDashAndLoneDashEndTheOptionsAndAreConsumed)
{
    ExpectScan({"ruvado", "-t", "h", "--", "-p"}, {{'t', "h", 3}, {-1, nullptr, 4}});
    ExpectScan({"ruvado", "--anything", "f"}, {{-1, nullptr, 2}});
    ExpectScan({"ruvado", "-", "f"}, {{-1, nullptr, 2}});
}

TEST(Getopt, StopsAtTheFirstOperand)
{
    ExpectScan({"ruvado", "f", "-p", "9"}, {{-1, nullptr, 1}, {-1, nullptr, 1}});
    ExpectScan({"ruvado"}, {{-1, nullptr, 1}});
}

TEST(Getopt, UnknownOptionOrColonGivesQuestionMarkAndLeavesTheIndex)
{
    ExpectScan({"ruvado", "-x", "f"}, {{'?', nullptr, 1}, {-1, nullptr, 2}});
    ExpectScan({"ruvado", "-:u"}, {{'?', nullptr, 1}, {'u', nullptr, 2}});
}

TEST(Getopt, MissingArgumentGivesQuestionMark)
{
    ExpectScan({"ruvado", "-t", "h", "-p"}, {{'t', "h", 3}, {'?', nullptr, 4}, {-1, nullptr, 4}});
}

TEST(Getopt, NullArgumentEndsTheOptions)
{
    getopt_reset();
    char name[] = "ruvado";
    char *argv[] = {name, nullptr, nullptr};
    EXPECT_EQ(getopt(2, argv, "p:t:u"), -1);
    EXPECT_EQ(optind, 1);
}

TEST(Getopt, ResetStartsAgainEvenInsideACluster)
{
    char name[] = "ruvado";
    char cluster[] = "-uu";
    char *argv[] = {name, cluster, nullptr};
    getopt_reset();
    EXPECT_EQ(getopt(2, argv, "p:t:u"), 'u');
    EXPECT_EQ(getopt_reset(), 0);
    EXPECT_EQ(optind, 1);
    EXPECT_EQ(getopt(2, argv, "p:t:u"), 'u');
    EXPECT_EQ(getopt(2, argv, "p:t:u"), 'u');
    EXPECT_EQ(getopt(2, argv, "p:t:u"), -1);
    EXPECT_EQ(optind, 2);
}

}   // namespace

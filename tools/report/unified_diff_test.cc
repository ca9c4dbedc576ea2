#include "tools/report/unified_diff.h"

#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace ostrivel::report {
namespace {

// A file change as one line: "OLD>NEW changed=[..] inserted=[..]", "bin"
// for a binary file.
std::string Describe(const FileChange& change) {
  std::string text = change.oldPath + ">" + change.newPath;
  if (change.binary) text += " bin";
  text += " changed=";
  for (std::uint32_t line : change.changed) text += std::to_string(line) + ",";
  text += " inserted=";
  for (std::uint32_t line : change.insertedAfter) {
    text += std::to_string(line) + ",";
  }
  return text;
}

struct Case {
  const char* what;
  std::string diff;
  std::vector<std::string> files;  // Describe() of each; empty: an error
  std::string error = {};
};

class UnifiedDiffTest : public ::testing::TestWithParam<Case> {};

TEST_P(UnifiedDiffTest, ReadsTheOldSideOfEachFile) {
  const Case& c = GetParam();
  std::istringstream in(c.diff);
  std::string error;
  auto files = ParseUnifiedDiff(in, &error);
  if (!c.error.empty()) {
    EXPECT_FALSE(files);
    EXPECT_EQ(error, c.error);
    return;
  }
  ASSERT_TRUE(files) << error;
  std::vector<std::string> described;
  for (const FileChange& file : *files) described.push_back(Describe(file));
  EXPECT_EQ(described, c.files);
}

INSTANTIATE_TEST_SUITE_P(
    Diffs, UnifiedDiffTest,
    ::testing::Values(
        Case{"diff -u with time stamps; a replacement, an insertion inside "
             "the context, a counted deletion",
             "--- src/a.cc\t2026-12-01 10:00:00\n"
             "+++ src/a.cc\t2026-12-02 10:00:00\n"
             "@@ -3,4 +3,5 @@ int f() {\n a\n-b\n+B\n c\n+new\n d\n"
             "@@ -20,2 +21 @@\n-x\n y\n",
             {"src/a.cc>src/a.cc changed=4,20, inserted=5,"}},
        Case{"git, --unified=0: an insertion names the line it follows",
             "diff --git a/x.h b/x.h\nindex 1..2 100644\n--- a/x.h\n+++ b/x.h\n"
             "@@ -7,0 +8,2 @@\n+p\n+q\n@@ -0,0 +1 @@\n+first\n",
             {"x.h>x.h changed= inserted=0,7,"}},
        Case{"a rename with a change, a pure rename, a mode change",
             "diff --git a/old.cc b/new.cc\nsimilarity index 90%\n"
             "rename from old.cc\nrename to new.cc\n--- a/old.cc\n"
             "+++ b/new.cc\n@@ -2 +2 @@\n-a\n+b\n"
             "diff --git a/p q.cc b/r.cc\nsimilarity index 100%\n"
             "rename from p q.cc\nrename to r.cc\n"
             "diff --git a/run.sh b/run.sh\nold mode 100644\nnew mode 100755\n",
             {"old.cc>new.cc changed=2, inserted=",
              "p q.cc>r.cc changed= inserted=",
              "run.sh>run.sh changed= inserted="}},
        Case{"new, deleted and binary files; quoted names",
             "diff --git a/n.cc b/n.cc\nnew file mode 100644\n--- /dev/null\n"
             "+++ b/n.cc\n@@ -0,0 +1,2 @@\n+a\n+b\n"
             "diff --git a/d.cc b/d.cc\ndeleted file mode 100644\n"
             "--- a/d.cc\n+++ /dev/null\n@@ -1,2 +0,0 @@\n-a\n-b\n"
             "diff --git \"a/t\\303\\251.png\" \"b/t\\303\\251.png\"\n"
             "--- \"a/t\\303\\251.png\"\n+++ \"b/t\\303\\251.png\"\n"
             "GIT binary patch\nliteral 3\nKcmZ?wbN~PV\n\n",
             {">n.cc changed= inserted=0,", "d.cc> changed=1,2, inserted=",
              "t\xc3\xa9.png>t\xc3\xa9.png bin changed= inserted="}},
        Case{"a binary file of a recursive diff",
             "diff -ru old/a.c new/a.c\n--- old/a.c\n+++ new/a.c\n"
             "@@ -1 +1 @@\n-a\n+b\n"
             "Binary files old/logo.png and new/logo.png differ\n",
             {"old/a.c>new/a.c changed=1, inserted=",
              "old/logo.png>new/logo.png bin changed= inserted="}},
        Case{"a commit message around the sections, no newline at the end",
             "commit 1\n\n    --- not a header\n\n--- a/a.c\n+++ b/a.c\n"
             "@@ -1 +1 @@\n-a\n\\ No newline at end of file\n+b\n",
             {"a.c>a.c changed=1, inserted="}},
        Case{"a hunk before its file header",
             "@@ -1 +1 @@\n-a\n+b\n",
             {},
             "line 1: a hunk (\"@@\") without the \"---\" and \"+++\" lines of "
             "its file"},
        Case{"a bad hunk header",
             "--- a\n+++ b\n@@ -x +1 @@\n",
             {},
             "line 3: a hunk header that is not \"@@ -START[,COUNT] "
             "+START[,COUNT] @@\": @@ -x +1 @@"},
        Case{"a hunk shorter than its counts",
             "--- a\n+++ b\n@@ -1,2 +1,2 @@\n a\nxyz\n",
             {},
             "line 5: a hunk of \"a\" ends early: 1 old and 1 new lines are "
             "missing"},
        Case{"the end inside a hunk",
             "--- a\n+++ b\n@@ -1,3 +1 @@\n-a\n",
             {},
             "line 4: the diff ends inside a hunk of \"a\""}));

}  // namespace
}  // namespace ostrivel::report

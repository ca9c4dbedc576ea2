#include "tools/counter_segment/counter_segment.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace ostrivel::tools {
namespace {

// A segment name of its own for every test, so that test processes running
// side by side never meet.
std::string UniqueName(const std::string& application) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return SegmentName("test" + std::to_string(::getpid()) + info->name(),
                     application);
}

pid_t DeadProcess() {
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

// Leaves a segment behind as a service that died would.
void WriteForeignSegment(const std::string& name, std::uint64_t magic,
                         pid_t owner) {
  int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, kCountersOffset + 8), 0);
  void* base = ::mmap(nullptr, kCountersOffset + 8, PROT_READ | PROT_WRITE,
                      MAP_SHARED, fd, 0);
  ::close(fd);
  ASSERT_NE(base, MAP_FAILED);
  auto* header = new (base) SegmentHeader{};
  header->version = kSegmentVersion;
  header->countersOffset = kCountersOffset;
  header->methodCount = 1;
  header->ownerPid = owner;
  header->magic.store(magic);
  ::munmap(base, kCountersOffset + 8);
}

// Another user for the tests that need one (the usual "nobody").
constexpr uid_t kOtherUser = 65534;

// The start of every segment name of this user.
std::string UserPrefix() {
  return "/ostrivel." + std::to_string(::geteuid()) + ".";
}

// Runs "work" in a child process with the user and group kOtherUser and
// returns what it wrote to "*text" (requires root).
std::string AsOtherUser(const std::function<std::string()>& work) {
  int ends[2];
  if (::pipe(ends) != 0) return "no pipe";
  pid_t child = ::fork();
  if (child == 0) {
    ::close(ends[0]);
    std::string text = ::setgid(kOtherUser) == 0 && ::setuid(kOtherUser) == 0
                           ? work()
                           : "cannot change the user";
    ssize_t written = ::write(ends[1], text.data(), text.size());
    ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  ::close(ends[1]);
  std::string text;
  char buffer[512];
  ssize_t got = 0;
  while ((got = ::read(ends[0], buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(ends[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return text;
}

struct FileFacts {
  uid_t owner = 0;
  unsigned mode = 0;
  ino_t inode = 0;
};

FileFacts Facts(const std::string& name) {
  FileFacts facts;
  int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
  struct stat info {};
  if (fd >= 0 && ::fstat(fd, &info) == 0) {
    facts = {info.st_uid, static_cast<unsigned>(info.st_mode & 07777),
             info.st_ino};
  }
  if (fd >= 0) ::close(fd);
  return facts;
}

TEST(SegmentNameTest, KeepsSafeBytesAndEndsInTheHashOfTheExactNames) {
  std::string name = SegmentName("default", "Shop-1_a");
  EXPECT_EQ(name.rfind(UserPrefix() + "default.Shop-1_a.", 0), 0u) << name;
  EXPECT_EQ(name.size(), (UserPrefix() + "default.Shop-1_a.").size() + 16);
}

TEST(SegmentNameTest, ReplacedBytesDoNotMakeNamesCollide) {
  EXPECT_EQ(SegmentName("c", "a b").rfind(UserPrefix() + "c.a_b.", 0), 0u);
  EXPECT_NE(SegmentName("c", "a b"), SegmentName("c", "a_b"));
  EXPECT_NE(SegmentName("c", "a/b"), SegmentName("c", "a_b"));
  EXPECT_NE(SegmentName("a.b", "c"), SegmentName("a", "b.c"));
}

TEST(SegmentNameTest, LongNamesStayWithinTheSystemLimit) {
  std::string longName(5000, 'x');
  std::string name = SegmentName(longName, longName);
  EXPECT_LT(name.size(), 255u);
  EXPECT_NE(name, SegmentName(longName, longName + "y"));
}

TEST(CounterSegmentTest, ProbeAndOwnerShareTheCounters) {
  OwnedSegment owned;
  std::string error, note;
  ASSERT_TRUE(owned.Create(UniqueName("Shop"), 3, &error, &note)) << error;
  EXPECT_TRUE(note.empty());
  SegmentView view;
  ASSERT_EQ(OpenSegment(owned.name(), &view), OpenStatus::kOk);
  EXPECT_EQ(view.methodCount, 3u);
  EXPECT_EQ(view.header->ownerPid, ::getpid());
  view.counters[1].fetch_add(5);
  view.counters[2].fetch_add(1);
  EXPECT_EQ(owned.ClampedCount(0), 0);
  EXPECT_EQ(owned.ClampedCount(1), 5);
  EXPECT_EQ(owned.ClampedCount(2), 1);
  owned.Reset();
  EXPECT_EQ(view.counters[1].load(), 0u);
  EXPECT_EQ(view.counters[2].load(), 0u);
  UnmapSegment(&view);
}

TEST(CounterSegmentTest, CountsAboveTheSignedIntRangeAreClamped) {
  OwnedSegment owned;
  std::string error, note;
  ASSERT_TRUE(owned.Create(UniqueName("Big"), 2, &error, &note)) << error;
  owned.counter(0).store(0x7fffffffULL);
  owned.counter(1).store(0x1'0000'0005ULL);
  EXPECT_EQ(owned.ClampedCount(0), 0x7fffffff);
  EXPECT_EQ(owned.ClampedCount(1), 0x7fffffff);
}

TEST(CounterSegmentTest, ASegmentWithoutMethodsCanBeCreatedAndOpened) {
  OwnedSegment owned;
  std::string error, note;
  ASSERT_TRUE(owned.Create(UniqueName("Empty"), 0, &error, &note)) << error;
  SegmentView view;
  ASSERT_EQ(OpenSegment(owned.name(), &view), OpenStatus::kOk);
  EXPECT_EQ(view.methodCount, 0u);
  UnmapSegment(&view);
}

TEST(CounterSegmentTest, RemovedSegmentIsRetiredAndGone) {
  OwnedSegment owned;
  std::string error, note;
  ASSERT_TRUE(owned.Create(UniqueName("Gone"), 1, &error, &note)) << error;
  std::string name = owned.name();
  SegmentView view;
  ASSERT_EQ(OpenSegment(name, &view), OpenStatus::kOk);
  owned.Remove();
  EXPECT_FALSE(owned.IsOpen());
  EXPECT_EQ(view.header->retired.load(), 1u);
  view.counters[0].fetch_add(1);  // the old mapping stays usable
  SegmentView again;
  EXPECT_EQ(OpenSegment(name, &again), OpenStatus::kMissing);
  UnmapSegment(&view);
}

TEST(CounterSegmentTest, MissingAndForeignSegmentsAreTold) {
  std::string name = UniqueName("Foreign");
  SegmentView view;
  EXPECT_EQ(OpenSegment(name, &view), OpenStatus::kMissing);
  WriteForeignSegment(name, 0x1234, ::getpid());
  EXPECT_EQ(OpenSegment(name, &view), OpenStatus::kInvalid);
  ::shm_unlink(name.c_str());
}

TEST(CounterSegmentTest, ASegmentOfARunningOwnerIsNotTaken) {
  OwnedSegment first;
  std::string error, note;
  ASSERT_TRUE(first.Create(UniqueName("Twice"), 1, &error, &note)) << error;
  OwnedSegment second;
  EXPECT_FALSE(second.Create(first.name(), 1, &error, &note));
  EXPECT_EQ(error, "the shared memory segment \"" + first.name() +
                       "\" belongs to the running process " +
                       std::to_string(::getpid()) +
                       "; stop it or choose another channel");
  SegmentView view;
  EXPECT_EQ(OpenSegment(first.name(), &view), OpenStatus::kOk);
  UnmapSegment(&view);
}

TEST(CounterSegmentTest, AStaleSegmentIsReplaced) {
  std::string name = UniqueName("Stale");
  WriteForeignSegment(name, kSegmentMagic, DeadProcess());
  OwnedSegment owned;
  std::string error, note;
  ASSERT_TRUE(owned.Create(name, 4, &error, &note)) << error;
  EXPECT_EQ(note, "replaced the stale shared memory segment \"" + name + "\"");
  SegmentView view;
  ASSERT_EQ(OpenSegment(name, &view), OpenStatus::kOk);
  EXPECT_EQ(view.methodCount, 4u);
  UnmapSegment(&view);
}

class SegmentUmaskTest : public ::testing::TestWithParam<mode_t> {};

TEST_P(SegmentUmaskTest, ACreatedSegmentHasMode0600) {
  mode_t previous = ::umask(GetParam());
  OwnedSegment owned;
  std::string error, note;
  bool created = owned.Create(UniqueName("Private"), 1, &error, &note);
  ::umask(previous);
  ASSERT_TRUE(created) << error;
  FileFacts facts = Facts(owned.name());
  EXPECT_EQ(facts.owner, ::geteuid());
  EXPECT_EQ(facts.mode, 0600u);
  SegmentView view;
  EXPECT_EQ(OpenSegment(owned.name(), &view), OpenStatus::kOk);
  UnmapSegment(&view);
}

INSTANTIATE_TEST_SUITE_P(Umasks, SegmentUmaskTest,
                         ::testing::Values(0000, 0022, 0077, 0277, 0777));

// A name taken by another user before the service starts: the service
// refuses it, names the owner and leaves the file as it is. Both ways round
// need a second user, so root.
struct SquatCase {
  const char* label;
  // The squatter: this process (root) gives the segment to kOtherUser, or
  // keeps it and the service runs as kOtherUser.
  bool serviceIsOtherUser;
};

class SquattedNameTest : public ::testing::TestWithParam<SquatCase> {};

TEST_P(SquattedNameTest, IsRefusedNamingTheOwner) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to act as a second user";
  }
  std::string name = UniqueName(GetParam().label);
  // A valid-looking segment whose recorded owner runs (pid 1): before
  // segments had to belong to the service's user, this shut it out.
  WriteForeignSegment(name, kSegmentMagic, 1);
  int fd = ::shm_open(name.c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  uid_t squatter = 0;
  if (!GetParam().serviceIsOtherUser) {
    squatter = kOtherUser;
    ASSERT_EQ(::fchown(fd, kOtherUser, kOtherUser), 0);
    ASSERT_EQ(::fchmod(fd, 0666), 0);
  }
  ::close(fd);
  FileFacts before = Facts(name);
  auto create = [&name] {
    OwnedSegment owned;
    std::string error, note;
    return owned.Create(name, 2, &error, &note) ? "created" : error;
  };
  std::string error =
      GetParam().serviceIsOtherUser ? AsOtherUser(create) : create();
  uid_t service = GetParam().serviceIsOtherUser ? kOtherUser : 0;
  EXPECT_EQ(error, "the shared memory segment \"" + name +
                       "\" belongs to another user (uid " +
                       std::to_string(squatter) +
                       "), not to this service's user (uid " +
                       std::to_string(service) +
                       "); have it removed or choose another channel");
  FileFacts after = Facts(name);
  EXPECT_EQ(after.inode, before.inode);
  EXPECT_EQ(after.owner, squatter);
  ::shm_unlink(name.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Users, SquattedNameTest,
    ::testing::Values(SquatCase{"OpenToTheService", false},
                      SquatCase{"ClosedToTheService", true}),
    [](const auto& param) { return std::string(param.param.label); });

TEST(CounterSegmentTest, RemovingLeavesASuccessorOfTheSameNameAlone) {
  std::string name = UniqueName("Successor");
  OwnedSegment first;
  std::string error, note;
  ASSERT_TRUE(first.Create(name, 1, &error, &note)) << error;
  // Another service took the name over, believing the first one dead.
  ASSERT_EQ(::shm_unlink(name.c_str()), 0);
  OwnedSegment second;
  ASSERT_TRUE(second.Create(name, 2, &error, &note)) << error;
  first.Remove();
  SegmentView view;
  ASSERT_EQ(OpenSegment(name, &view), OpenStatus::kOk);
  EXPECT_EQ(view.methodCount, 2u);
  UnmapSegment(&view);
}

}  // namespace
}  // namespace ostrivel::tools

#include "net/SocketHandler.h"

#include "net/SocketOps.h"
#include "net/TcpSocket.h"
#include "net/UdpSocket.h"

#include "NetTestSupport.h"
#include "StreamPeers.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fp::test {
namespace {

// A datagram socket that writes its callbacks into a shared journal and runs an optional action
// when it is read.
class Traced : public UdpSocket {
 public:
  Traced(SocketHandler& handler, std::vector<std::string>& journal, std::string name)
      : UdpSocket(handler, 1032), _journal(journal), _name(std::move(name)) {}
  ~Traced() override { _journal.push_back(_name + " deleted"); }

  void OnRead() override {
    _journal.push_back(_name + " read");
    UdpSocket::OnRead();
    if (on_read) on_read();
  }
  void OnReleased() override { _journal.push_back(_name + " released"); }

  std::function<void()> on_read;

 private:
  std::vector<std::string>& _journal;
  std::string _name;
};

// Binds the socket on `address`:40000 and sends it one datagram from a fresh socket.
void Poke(SocketHandler& handler, UdpSocket& target, const char* address) {
  std::uint16_t port = 40000;
  ASSERT_EQ(target.Bind(Ip(address), port, 0), 0);
  UdpSocket sender(handler, 16);
  std::uint16_t any = 0;
  ASSERT_EQ(sender.Bind(Ip(address), any, 0), 0);
  ASSERT_TRUE(sender.Open(Ip(address), port));
  SendQueued(sender, target.GetDescriptor(), "poke");
}

// Each test's handler, with a log of its reports and a journal of its sockets' calls. The
// journal outlives the handler, whose destructor may delete a socket that writes into it.
class SocketHandlerTest : public ::testing::Test {
 protected:
  // Runs passes of up to 100 ms, 20 at the most, until a socket has called back; by then
  // `socket` has made the `calls`, its trouble is the first report, and it is closed and gone
  // from the registry, where it stood on `descriptor`.
  void ExpectClosedInAPass(const Socket& socket, int descriptor,
                           const std::vector<std::string>& calls, const Reported& trouble) {
    for (int pass = 0; pass < 20 && journal.empty(); ++pass) handler.Select(0, 100000);
    EXPECT_EQ(journal, calls);
    ASSERT_FALSE(log.reports.empty());
    EXPECT_EQ(log.reports[0], trouble);
    EXPECT_EQ(socket.GetDescriptor(), -1);
    EXPECT_EQ(handler.FindSocket(descriptor), nullptr);
  }

  RecordingLog log;
  std::vector<std::string> journal;
  SocketHandler handler{&log};
};

TEST_F(SocketHandlerTest, PassWithoutSocketsAndZeroTimeoutReturnsAtOnce) {
  EXPECT_EQ(handler.Select(0, 0), 0);
  EXPECT_EQ(handler.SocketCount(), 0u);
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(SocketHandlerTest, SocketClosedFromOnReadLeavesTheRegistryInTheSamePass) {
  Traced low(handler, journal, "low");
  auto* high = new Traced(handler, journal, "high");
  high->SetHandlerDeletes(true);
  const int low_descriptor = low.GetDescriptor();
  const int high_descriptor = high->GetDescriptor();
  ASSERT_LT(low_descriptor, high_descriptor);
  handler.Add(&low);
  handler.Add(high);
  handler.Select(0, 0);
  EXPECT_EQ(handler.FindSocket(high_descriptor), high);

  high->on_read = [high] { high->SetCloseAndDelete(true); };
  const std::size_t open = OpenDescriptors();
  Poke(handler, *high, "127.1.20.1");
  EXPECT_EQ(handler.Select(1, 0), 0);

  EXPECT_EQ(journal, (std::vector<std::string>{"high read", "high released", "high deleted"}));
  EXPECT_EQ(handler.FindSocket(high_descriptor), nullptr);
  EXPECT_EQ(handler.FindSocket(low_descriptor), &low);
  EXPECT_FALSE(handler.ReadInterest(high_descriptor));
  EXPECT_EQ(handler.SocketCount(), 1u);
  EXPECT_EQ(OpenDescriptors(), open - 1);
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(SocketHandlerTest, SelectFromACallbackIsRefusedAndThePassGoesOn) {
  Traced first(handler, journal, "first");
  Traced second(handler, journal, "second");
  handler.Add(&first);
  handler.Add(&second);
  handler.Select(0, 0);
  int nested = 0;
  first.on_read = [&] { nested = handler.Select(0, 0); };
  Poke(handler, first, "127.21.6.1");
  Poke(handler, second, "127.21.6.2");
  EXPECT_EQ(handler.Select(1, 0), 0);
  EXPECT_EQ(nested, -1);
  EXPECT_EQ(journal, (std::vector<std::string>{"first read", "second read"}));
  EXPECT_EQ(log.reports,
            (std::vector<Reported>{
                {nullptr, "Select", -1, "Select called from a callback of a pass", Warning}}));
}

TEST_F(SocketHandlerTest, SixtyFifthSocketWaitsInTheQueueUntilThereIsRoom) {
  std::vector<std::unique_ptr<UdpSocket>> sockets;
  for (int i = 0; i < 65; ++i) {
    sockets.push_back(std::make_unique<UdpSocket>(handler, 16));
    handler.Add(sockets.back().get());
  }
  const Reported full{nullptr, "Select", 64, "FD_SETSIZE reached", Warning};
  handler.Select(0, 0);
  handler.Select(0, 0);
  EXPECT_EQ(log.reports, (std::vector<Reported>{full, full}));
  EXPECT_EQ(handler.SocketCount(), 65u);
  UdpSocket* last = sockets.back().get();
  EXPECT_EQ(handler.FindSocket(last->GetDescriptor()), nullptr);

  sockets.front()->SetCloseAndDelete(true);
  handler.Select(0, 0);  // still full when the pass begins; the marked socket leaves at its end
  EXPECT_EQ(log.reports.size(), 3u);
  handler.Select(0, 0);
  EXPECT_EQ(log.reports.size(), 3u);
  EXPECT_EQ(handler.FindSocket(last->GetDescriptor()), last);
}

TEST_F(SocketHandlerTest, AddRefusesSocketsWithoutDescriptorAndDuplicates) {
  Socket bare(handler);
  handler.Add(&bare);
  EXPECT_EQ(log.reports.back(), (Reported{&bare, "Add", -1, "Invalid socket", Warning}));
  EXPECT_EQ(handler.SocketCount(), 0u);

  // A marked socket without descriptor is released (and deleted when it asks) in the next pass.
  auto* doomed = new Traced(handler, journal, "doomed");
  doomed->Close();
  doomed->SetCloseAndDelete(true);
  doomed->SetHandlerDeletes(true);
  handler.Add(doomed);
  EXPECT_EQ(handler.SocketCount(), 1u);

  UdpSocket first(handler, 16);
  const int d = first.GetDescriptor();
  handler.Add(&first);
  handler.Add(&first);  // the same object again: reported, kept once, never deleted
  EXPECT_EQ(log.reports.back(),
            (Reported{&first, "Add", d, "Attempt to add socket already in add queue", Fatal}));
  Traced impostor(handler, journal, "impostor");  // another object on the same descriptor
  const int own = impostor.GetDescriptor();
  impostor.AttachDescriptor(d);
  handler.Add(&impostor);
  EXPECT_EQ(handler.SocketCount(), 3u);

  log.reports.clear();
  handler.Select(0, 0);
  EXPECT_EQ(handler.FindSocket(d), &first);
  EXPECT_EQ(journal,
            (std::vector<std::string>{"doomed released", "doomed deleted", "impostor released"}));
  handler.Add(&first);  // after registration
  handler.Select(0, 0);
  EXPECT_EQ(log.reports, (std::vector<Reported>{{&first, "Add", d,
                                                 "Attempt to add socket already in controlled "
                                                 "queue",
                                                 Fatal}}));
  EXPECT_EQ(handler.FindSocket(d), &first);
  EXPECT_EQ(handler.SocketCount(), 1u);
  impostor.AttachDescriptor(own);
}

TEST_F(SocketHandlerTest, ASocketAddedTwiceIsForgottenEverywhereAndDeletedOnce) {
  // Registered, then queued again: deleting it must leave no pointer in the queue.
  auto* twice = new Traced(handler, journal, "twice");
  handler.Add(twice);
  handler.Select(0, 0);
  handler.Add(twice);
  log.reports.clear();
  const auto address = reinterpret_cast<std::uintptr_t>(twice);
  delete twice;
  ASSERT_EQ(log.reports.size(), 1u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(log.reports[0].socket), address);
  log.reports[0].socket = nullptr;
  EXPECT_EQ(log.reports[0], (Reported{nullptr, "Remove", -1,
                                      "Socket destructor called while still in use", Warning}));
  EXPECT_EQ(handler.SocketCount(), 0u);
  handler.Select(0, 0);  // would register the deleted object if it were still queued

  // Without a descriptor, marked and owned by the handler: listed for deletion once only.
  auto* bare = new Traced(handler, journal, "bare");
  bare->Close();
  bare->SetCloseAndDelete(true);
  bare->SetHandlerDeletes(true);
  handler.Add(bare);
  handler.Add(bare);
  EXPECT_EQ(handler.SocketCount(), 1u);
  handler.Select(0, 0);
  EXPECT_EQ(journal, (std::vector<std::string>{"twice deleted", "bare released", "bare deleted"}));
}

TEST_F(SocketHandlerTest, OwnedSocketClosedMarkedAndAddedAgainIsForgottenBeforeItIsDeleted) {
  const std::size_t before = OpenDescriptors();
  {
    SocketHandler scoped(&log);
    auto* owned = new Traced(scoped, journal, "owned");
    owned->SetHandlerDeletes(true);
    const int d = owned->GetDescriptor();
    scoped.Add(owned);
    scoped.Select(0, 0);

    // Closed by its owner, its registry entry stays; added again it goes to the deletion list.
    owned->Close();
    owned->SetCloseAndDelete(true);
    scoped.Add(owned);
    EXPECT_EQ(log.reports.back(), (Reported{owned, "Add", -1, "Invalid socket", Warning}));
    scoped.Select(0, 0);
    EXPECT_EQ(journal, (std::vector<std::string>{"owned released", "owned deleted"}));
    EXPECT_EQ(scoped.FindSocket(d), nullptr);
    EXPECT_EQ(scoped.SocketCount(), 0u);
    scoped.Select(0, 0);
  }  // the handler's destructor must not reach the deleted socket
  EXPECT_EQ(journal.size(), 2u);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(SocketHandlerTest, DestroyedSocketLeavesAtOnceAndIsNotCalledAgain) {
  auto* registered = new Traced(handler, journal, "registered");
  const int d = registered->GetDescriptor();
  handler.Add(registered);
  handler.Select(0, 0);
  Poke(handler, *registered, "127.1.22.1");

  // The datagram socket closes first (discarding the waiting datagram), then leaves the registry.
  const std::vector<Reported> expected{
      {registered, "read() after shutdown", 4, "bytes read", Warning},
      {registered, "Remove", -1, "Socket destructor called while still in use", Warning}};
  delete registered;
  EXPECT_EQ(log.reports, expected);
  EXPECT_EQ(handler.FindSocket(d), nullptr);
  EXPECT_EQ(handler.SocketCount(), 0u);
  EXPECT_FALSE(handler.ReadInterest(d));
  handler.Select(0, 0);
  EXPECT_EQ(journal, std::vector<std::string>{"registered deleted"});

  auto* queued = new UdpSocket(handler, 16);
  handler.Add(queued);
  delete queued;
  EXPECT_EQ(log.reports.back().code, -2);
  EXPECT_EQ(handler.SocketCount(), 0u);
}

TEST_F(SocketHandlerTest, DescriptorNumberClosedByItsOwnerCanBeRegisteredAgain) {
  Traced old_socket(handler, journal, "old");
  const int d = old_socket.GetDescriptor();
  handler.Add(&old_socket);
  handler.Select(0, 0);
  old_socket.Close();  // by its owner: the registry entry stays behind

  Traced reuser(handler, journal, "new");
  ASSERT_EQ(reuser.GetDescriptor(), d);  // the system hands out the lowest free number
  handler.Add(&reuser);
  handler.Select(0, 0);
  EXPECT_EQ(handler.FindSocket(d), &reuser);
  EXPECT_EQ(handler.SocketCount(), 1u);
  Poke(handler, reuser, "127.1.23.1");
  handler.Select(1, 0);
  EXPECT_EQ(journal, std::vector<std::string>{"new read"});
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(SocketHandlerTest, DestructionClosesEverySocketAndDeletesOnlyItsOwn) {
  const std::size_t before = OpenDescriptors();
  auto owner = std::make_unique<SocketHandler>();
  auto* owned = new Traced(*owner, journal, "owned");
  owned->SetHandlerDeletes(true);
  Traced kept(*owner, journal, "kept");
  Traced queued(*owner, journal, "queued");
  owner->Add(owned);
  owner->Add(&kept);
  owner->Select(0, 0);
  owner->Add(&queued);

  owner.reset();
  EXPECT_EQ(journal, std::vector<std::string>{"owned deleted"});  // no OnReleased
  EXPECT_EQ(kept.GetDescriptor(), -1);
  EXPECT_EQ(queued.GetDescriptor(), -1);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(SocketHandlerTest, DispatchFollowsRegistrationOrderNotDescriptorOrder) {
  Traced low(handler, journal, "low");
  Traced high(handler, journal, "high");
  handler.Add(&high);
  handler.Select(0, 0);
  handler.Add(&low);
  handler.Select(0, 0);

  Poke(handler, low, "127.1.24.1");
  Poke(handler, high, "127.1.24.2");
  EXPECT_EQ(handler.Select(1, 0), 0);
  EXPECT_EQ(journal, (std::vector<std::string>{"high read", "low read"}));
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(SocketHandlerTest, SocketAddedFromACallbackIsWatchedFromTheNextPass) {
  Traced first(handler, journal, "first");
  Traced second(handler, journal, "second");
  first.on_read = [&] { handler.Add(&second); };
  handler.Add(&first);
  Poke(handler, first, "127.1.25.1");
  Poke(handler, second, "127.1.25.2");

  handler.Select(1, 0);
  EXPECT_EQ(journal, std::vector<std::string>{"first read"});
  handler.Select(1, 0);
  EXPECT_EQ(journal, (std::vector<std::string>{"first read", "second read"}));
}

TEST_F(SocketHandlerTest, DescriptorNumbersAbove1023AreWatched) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 1600) {
    limit.rlim_cur = limit.rlim_max < 1600 ? limit.rlim_max : 1600;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur < 1600) GTEST_SKIP() << "descriptor limit below 1600";

  Traced socket(handler, journal, "high number");
  const int high = fcntl(socket.GetDescriptor(), F_DUPFD_CLOEXEC, 1500);
  ASSERT_GE(high, 1500);
  close(socket.GetDescriptor());
  socket.AttachDescriptor(high);
  handler.Add(&socket);
  Poke(handler, socket, "127.1.26.1");
  handler.Select(1, 0);
  EXPECT_EQ(journal, std::vector<std::string>{"high number read"});
}

// A stream socket on a raw connecting descriptor: exercises the connect completion of a pass.
class Connector : public Socket {
 public:
  Connector(SocketHandler& handler, std::vector<std::string>& journal)
      : Socket(handler), _journal(journal) {}
  void OnConnect() override { _journal.push_back("connect"); }
  void OnConnectFailure() override { _journal.push_back("failure"); }
  void OnReleased() override { _journal.push_back("released"); }

  // Starts a non-blocking connect; true when it is pending.
  bool Start(const char* address, std::uint16_t port) {
    const int d = CreateDescriptor(AF_INET, SOCK_STREAM, "tcp");
    if (d == -1 || !SetNonBlockingMode(true, d)) return false;
    AttachDescriptor(d);
    if (sockets::BindIPv4(d, Ip(address), 0) != 0) return false;  // source on the same address
    if (sockets::ConnectIPv4(d, Ip(address), port) == 0) return false;
    if (sockets::LastError() != 10036) return false;
    SetConnecting(true);
    return true;
  }

 private:
  std::vector<std::string>& _journal;
};

TEST_F(SocketHandlerTest, PendingConnectCompletesOrFailsThroughWritability) {
  // Refused: nobody listens.
  Connector refused(handler, journal);
  ASSERT_TRUE(refused.Start("127.1.27.1", 40000));
  const int d = refused.GetDescriptor();
  handler.Add(&refused);
  ASSERT_NO_FATAL_FAILURE(
      ExpectClosedInAPass(refused, d, {"failure", "released"},
                          {&refused, "connect failed", 10061, "Connection refused.", Fatal}));

  // Accepted by a listening socket.
  const int listener = Listen("127.1.27.2", 40000);
  journal.clear();
  log.reports.clear();
  Connector accepted(handler, journal);
  ASSERT_TRUE(accepted.Start("127.1.27.2", 40000));
  handler.Add(&accepted);
  for (int pass = 0; pass < 20 && journal.empty(); ++pass) handler.Select(0, 100000);
  EXPECT_EQ(journal, std::vector<std::string>{"connect"});
  EXPECT_EQ(
      log.reports,
      (std::vector<Reported>{{&accepted, "Calling OnConnect", 0, "Because CallOnConnect", Info}}));
  EXPECT_FALSE(accepted.IsConnecting());
  EXPECT_TRUE(handler.ReadInterest(accepted.GetDescriptor()));
  EXPECT_FALSE(handler.WriteInterest(accepted.GetDescriptor()));
  EXPECT_TRUE(handler.CallOnConnectList().empty());
  close(listener);
}

TEST_F(SocketHandlerTest, FailedWaitIsReportedAndTheWorkStepsStillRun) {
  Traced socket(handler, journal, "marked");
  handler.Add(&socket);
  handler.Select(0, 0);
  int stale = 1900;
  while (fcntl(stale, F_GETFD) != -1) ++stale;  // a number that is no open file
  handler.SetInterest(stale, true, false, false);
  socket.SetCloseAndDelete(true);

  EXPECT_EQ(handler.Select(0, 0), -1);
  EXPECT_EQ(log.reports, (std::vector<Reported>{{nullptr, "select", 10038,
                                                 "Socket operation on nonsocket.", Warning}}));
  EXPECT_EQ(journal, std::vector<std::string>{"marked released"});
  EXPECT_EQ(socket.GetDescriptor(), -1);
  handler.SetInterest(stale, false, false, false);
  EXPECT_EQ(handler.Select(0, 0), 0);
}

// Holds the accepted end of a TCP connection; urgent data on it is an exceptional condition.
class Exceptional : public Socket {
 public:
  Exceptional(SocketHandler& handler, std::vector<std::string>& journal, int descriptor)
      : Socket(handler), _journal(journal) {
    AttachDescriptor(descriptor);
  }
  void OnExceptCondition() override {
    _journal.push_back("exception");
    Socket::OnExceptCondition();
  }
  void OnReleased() override { _journal.push_back("released"); }

 private:
  std::vector<std::string>& _journal;
};

TEST_F(SocketHandlerTest, ExceptionalConditionClosesAndUnregistersInOnePass) {
  const int listener = Listen("127.1.29.1", 40000);
  const int client = sockets::CreateSocket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(sockets::BindIPv4(client, Ip("127.1.29.2"), 0), 0);
  ASSERT_EQ(sockets::ConnectIPv4(client, Ip("127.1.29.1"), 40000), 0);
  const int accepted = accept(listener, nullptr, nullptr);
  ASSERT_NE(accepted, -1);
  Exceptional socket(handler, journal, accepted);
  handler.Add(&socket);
  handler.Select(0, 0);

  ASSERT_EQ(send(client, "!", 1, MSG_OOB), 1);
  ASSERT_NO_FATAL_FAILURE(
      ExpectClosedInAPass(socket, accepted, {"exception", "released"},
                          {&socket, "exception on select", 0, "Winsock error code: 0", Fatal}));
  EXPECT_EQ(handler.SocketCount(), 0u);
  close(client);
  close(listener);
}

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Waits, at most 5 seconds, until the thread `tid` of this process sits in ppoll: then its pass
// is waiting.
bool WaitsInPoll(pid_t tid) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  const Clock::time_point deadline = Clock::now() + 5s;
  do {
    std::ifstream in(path);
    long call = -1;
    if (in >> call && call == SYS_ppoll) return true;
    std::this_thread::sleep_for(1ms);
  } while (Clock::now() < deadline);
  return false;
}

// The descriptors of this process that are eventfds.
std::vector<int> EventDescriptors() {
  std::vector<int> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == "anon_inode:[eventfd]") {
      found.push_back(std::stoi(entry.path().filename().string()));
    }
  }
  return found;
}

TEST_F(SocketHandlerTest, WakeFromAnotherThreadEndsTheWaitingPass) {
  const pid_t selecting = gettid();
  std::thread waker([&] {
    EXPECT_TRUE(WaitsInPoll(selecting));
    handler.Wake();
  });
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(handler.Select(10, 0), 0);
  EXPECT_LT(Clock::now() - start, 5s);
  waker.join();
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(SocketHandlerTest, WakeUpsMadeBeforeAPassEndItAtOnceAndNoOtherPass) {
  Traced socket(handler, journal, "marked");
  handler.Add(&socket);
  handler.Select(0, 0);
  socket.SetCloseAndDelete(true);

  handler.Wake();
  handler.Wake();
  Clock::time_point start = Clock::now();
  EXPECT_EQ(handler.Select(10, 0), 0);
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_EQ(journal, std::vector<std::string>{"marked released"});  // the deferred work ran

  start = Clock::now();
  EXPECT_EQ(handler.Select(0, 50000), 0);
  EXPECT_GE(Clock::now() - start, 40ms);
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(SocketHandlerTest, WakeEventIsNeitherRegisteredNorCountedNorDispatched) {
  const std::vector<int> before = EventDescriptors();
  auto fresh = std::make_unique<SocketHandler>(&log);
  const std::vector<int> with = EventDescriptors();
  ASSERT_EQ(with.size(), before.size() + 1);
  int wake = -1;
  for (const int d : with) {
    if (std::find(before.begin(), before.end(), d) == before.end()) wake = d;
  }
  EXPECT_NE(fcntl(wake, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(fcntl(wake, F_GETFL) & O_NONBLOCK, 0);

  Traced socket(*fresh, journal, "socket");
  const int d = socket.GetDescriptor();
  fresh->Add(&socket);
  Poke(*fresh, socket, "127.1.30.1");
  fresh->Wake();
  EXPECT_EQ(fresh->Select(1, 0), 0);  // the datagram found its socket; the wake-up is no count
  EXPECT_EQ(journal, std::vector<std::string>{"socket read"});
  EXPECT_EQ(fresh->SocketCount(), 1u);
  EXPECT_EQ(fresh->FindSocket(d), &socket);
  EXPECT_EQ(fresh->FindSocket(wake), nullptr);
  EXPECT_FALSE(fresh->ReadInterest(wake));

  const Clock::time_point start = Clock::now();
  EXPECT_EQ(fresh->Select(0, 50000), 0);  // the wake-up went with the pass it ended
  EXPECT_GE(Clock::now() - start, 40ms);
  fresh.reset();
  EXPECT_EQ(EventDescriptors(), before);
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(SocketHandlerTest, WithoutAWakeEventTheHandlerSaysSoAndWaitsOutItsPasses) {
  {
    // The undefined-behaviour sanitizer needs a pipe the first time it checks the type of an
    // object: let it meet the handler and the log while descriptors are still free.
    SocketHandler warm_up(&log);
    warm_up.ReportError(nullptr, "", 0, "", Warning);
    log.reports.clear();
  }
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // Every descriptor number below a low limit in use: the handler cannot make its event.
  rlimit low = saved;
  low.rlim_cur = OpenDescriptors() + 8;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers;
  for (;;) {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd == -1) break;
    fillers.push_back(fd);
  }
  SocketHandler starved(&log);
  for (const int fd : fillers) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(log.reports,
            (std::vector<Reported>{{nullptr, "eventfd", 10024, "Too many open files.", Warning}}));

  starved.Wake();
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(starved.Select(0, 50000), 0);
  EXPECT_GE(Clock::now() - start, 40ms);
}

// Processor time the calling thread has used.
std::chrono::nanoseconds ThreadCpuTime() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Counts the exceptional conditions it is told of and does nothing else about them.
class ExceptionCounter : public Socket {
 public:
  using Socket::Socket;
  void OnExceptCondition() override { ++exceptions; }
  int exceptions = 0;
};

TEST_F(SocketHandlerTest, ErrorOnADescriptorWatchedForExceptionsAloneNeverEndsPassesEarly) {
  const std::size_t before = OpenDescriptors();
  {
    SocketHandler scoped(&log);

    // A stream socket whose connect was refused, with retries left, is watched for exceptions
    // alone until its connect time-out; its passes wait out their time.
    TcpSocket client(scoped);
    client.SetRetriesAllowed(-1);
    ASSERT_TRUE(client.Open(Ip("127.10.1.1"), 40000));
    scoped.Add(&client);
    ASSERT_TRUE(Pump(scoped, [&] {
      return std::any_of(log.reports.begin(), log.reports.end(),
                         [](const Reported& r) { return r.call == "connect failed"; });
    }));
    const int d = client.GetDescriptor();
    EXPECT_TRUE(client.IsConnecting());
    EXPECT_FALSE(scoped.ReadInterest(d));
    EXPECT_FALSE(scoped.WriteInterest(d));
    EXPECT_TRUE(scoped.ExceptInterest(d));
    // Waited, not spun: three passes of 100 ms cost this thread next to no processor time.
    const auto cpu_start = ThreadCpuTime();
    for (int pass = 0; pass < 3; ++pass) {
      const Clock::time_point start = Clock::now();
      EXPECT_EQ(scoped.Select(0, 100000), 0);
      EXPECT_GE(Clock::now() - start, 95ms);
    }
    EXPECT_LT(ThreadCpuTime() - cpu_start, 30ms);

    // A pending error reaches a socket watched for exceptions alone once, as the exceptional
    // condition a failed connect is; later passes wait out their time.
    ExceptionCounter counter(scoped);
    const int raw = sockets::CreateSocket(AF_INET, SOCK_STREAM, 0);
    sockets::SetNonBlocking(raw, true);
    sockets::ConnectIPv4(raw, Ip("127.10.1.2"), 40000);
    pollfd entry{raw, POLLOUT, 0};
    ASSERT_EQ(poll(&entry, 1, 5000), 1);  // refused: the error is pending, not yet read
    counter.AttachDescriptor(raw);
    scoped.Add(&counter);
    scoped.Select(0, 0);
    scoped.SetInterest(raw, /*read=*/false, /*write=*/false, /*except=*/true);
    EXPECT_EQ(scoped.Select(0, 100000), 0);
    EXPECT_EQ(counter.exceptions, 1);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(scoped.Select(0, 100000), 0);
    EXPECT_GE(Clock::now() - start, 95ms);
    EXPECT_EQ(counter.exceptions, 1);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace fp::test

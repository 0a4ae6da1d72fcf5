#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "server/ipmclient/IpmClient.h"
#include "server/ipmclient/IpmPort.h"
#include "server/ipmclient/IpmServer.h"
#include "tests/support/TestRuntimeDir.h"

namespace {

constexpr const char kPort[] = "rtp/TmsFore01";

class IpmTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_server->Listen(kPort), 0); }
    void TearDown() override {
        const std::string path = m_server->Path();
        m_server.reset();
        struct stat st;
        EXPECT_NE(::stat(path.c_str(), &st), 0) << "socket file left behind: " << path;
    }

    tmstest::TestRuntimeDir m_dir;
    std::unique_ptr<CIpmListener> m_server = std::make_unique<CIpmListener>();
    CIpmListener& m_listener = *m_server;
};

TEST_F(IpmTest, RequestAndReplyAreWholeMessages) {
    std::thread server([&] {
        auto conn = m_listener.Accept(5000);
        ASSERT_NE(conn, nullptr);
        char buf[8192];
        for (int i = 0; i < 2; ++i) {
            int n = conn->Read(buf, sizeof buf, 5000);
            ASSERT_GT(n, 0);
            std::string reply = "ack " + std::to_string(n);
            ASSERT_EQ(conn->Write(reply.data(), static_cast<int>(reply.size()), 5000),
                      static_cast<int>(reply.size()));
        }
    });
    CIpmClient client(4096, 1, kPort, 5000);
    ASSERT_TRUE(client.IsOpen()) << client.LastError();
    // Two messages back to back stay two messages (sequenced packets).
    std::string big(4096, 'x');
    for (int length : {4096, 1}) {
        ASSERT_EQ(client.Write(big.data(), length), length);
        char reply[1024];
        int n = client.Read(reply, sizeof reply);
        ASSERT_GT(n, 0);
        EXPECT_EQ(std::string(reply, n), "ack " + std::to_string(length));
    }
    server.join();
}

TEST_F(IpmTest, OversizedMessagesAreRefusedNotCut) {
    std::thread server([&] {
        auto conn = m_listener.Accept(5000);
        ASSERT_NE(conn, nullptr);
        // The server's buffer is smaller than the request: refused, then the
        // next request is read whole.
        char small[1024];
        EXPECT_EQ(conn->Read(small, sizeof small, 5000), -1);
        EXPECT_EQ(conn->LastError(), EMSGSIZE);
        EXPECT_EQ(conn->Read(small, sizeof small, 5000), 3);
        std::string reply(2000, 'r');
        ASSERT_EQ(conn->Write(reply.data(), 2000, 5000), 2000);
        ASSERT_EQ(conn->Write("ok", 2, 5000), 2);
    });
    CIpmClient client(4096, 1, kPort, 5000);
    ASSERT_TRUE(client.IsOpen());
    const int tooBig = 4096 * CIpmClient::kBuffersPerMessage + 1;
    std::string big(tooBig, 'x');
    EXPECT_EQ(client.Write(big.data(), tooBig), -1);
    EXPECT_EQ(client.LastError(), EMSGSIZE);
    ASSERT_EQ(client.Write(big.data(), 1025), 1025);
    ASSERT_EQ(client.Write("req", 3), 3);
    char reply[1024];
    EXPECT_EQ(client.Read(reply, sizeof reply), -1);
    EXPECT_EQ(client.LastError(), EMSGSIZE);
    EXPECT_EQ(client.LastReadLength(), 2000) << "the whole length, for the failure's message";
    // The oversized reply is dropped whole: the next Read is the next message.
    ASSERT_EQ(client.Read(reply, sizeof reply), 2);
    EXPECT_EQ(std::string(reply, 2), "ok");
    server.join();
}

TEST_F(IpmTest, PeerGoneFailsWithoutSigpipe) {
    {
        CIpmClient client(4096, 1, kPort, 5000);
        ASSERT_TRUE(client.IsOpen());
        auto conn = m_listener.Accept(5000);
        ASSERT_NE(conn, nullptr);
        conn.reset();  // server end closes
        char buf[64];
        EXPECT_EQ(client.Read(buf, sizeof buf), 0);
        // SIGPIPE is not ignored here: a write without MSG_NOSIGNAL would kill the test.
        EXPECT_EQ(client.Write("open", 4), -1);
        EXPECT_EQ(client.LastError(), EPIPE);
    }
    {
        auto client = std::make_unique<CIpmClient>(4096, 1, kPort, 5000);
        auto conn = m_listener.Accept(5000);
        ASSERT_NE(conn, nullptr);
        client.reset();
        char buf[64];
        EXPECT_EQ(conn->Read(buf, sizeof buf, 5000), 0);
        EXPECT_EQ(conn->Write("repl", 4, 5000), -1);
        EXPECT_EQ(conn->LastError(), EPIPE);
    }
}

TEST_F(IpmTest, CloseFromAnotherThreadWakesBlockedCalls) {
    CIpmClient client(4096, 1, kPort, 0);  // no time-out: only Close can end the Read
    ASSERT_TRUE(client.IsOpen());
    auto conn = m_listener.Accept(5000);
    ASSERT_NE(conn, nullptr);
    int readResult = 0;
    std::thread reader([&] {
        char buf[64];
        readResult = client.Read(buf, sizeof buf);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.Close();
    reader.join();
    EXPECT_EQ(readResult, -1);
    EXPECT_EQ(client.LastError(), ENOTCONN);
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.Write("x", 1), -1);

    std::unique_ptr<CIpmConnection> accepted;
    std::thread acceptor([&] { accepted = m_listener.Accept(0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    m_listener.Close();
    acceptor.join();
    EXPECT_EQ(accepted, nullptr);
    EXPECT_EQ(m_listener.LastError(), ENOTCONN);
}

TEST_F(IpmTest, LiveNameRefusedStaleNameTakenOver) {
    CIpmListener second;
    EXPECT_EQ(second.Listen(kPort), EADDRINUSE);

    // A server killed without cleanup leaves its socket file behind.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CIpmListener dying;
        _exit(dying.Listen("rtp/TmsFore02") == 0 ? 0 : 1);  // no destructor runs
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    const std::string stale = IpmPortPath("rtp/TmsFore02");
    struct stat st;
    ASSERT_EQ(::stat(stale.c_str(), &st), 0);
    CIpmClient refused(4096, 1, "rtp/TmsFore02", 1000);
    EXPECT_FALSE(refused.IsOpen());
    EXPECT_EQ(refused.LastError(), ECONNREFUSED);
    CIpmListener takeover;
    EXPECT_EQ(takeover.Listen("rtp/TmsFore02"), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(IpmPortTest, PortNames) {
    tmstest::TestRuntimeDir dir;
    struct Case {
        std::string name;
        int error;  // 0 = usable
    } cases[] = {
        {"rtp/TmsFore01", 0},
        {"a", 0},
        {"a.b-c_d/e", 0},
        {"", EINVAL},
        {"/rtp", EINVAL},
        {"rtp/", EINVAL},
        {"rtp//x", EINVAL},
        {"rtp/../x", EINVAL},
        {".", EINVAL},
        {"rtp/Tms Fore", EINVAL},
        {"rtp\\x", EINVAL},
        {std::string(63, 'a'), 0},
        {std::string(64, 'a'), EINVAL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        errno = 0;
        std::string path = IpmPortPath(c.name);
        if (c.error == 0) {
            EXPECT_EQ(path, dir.Path() + "/ipm/" + c.name);
        } else {
            EXPECT_EQ(path, "");
            EXPECT_EQ(errno, c.error);
        }
    }
}

TEST(IpmPortTest, SocketPathTooLongIsRefusedNotCut) {
    tmstest::TestRuntimeDir dir;
    const std::string deep = dir.Path() + "/" + std::string(80, 'd');
    ::setenv("TMS_RUNTIME_DIR", deep.c_str(), 1);
    errno = 0;
    EXPECT_EQ(IpmPortPath("rtp/TmsFore01"), "");
    EXPECT_EQ(errno, ENAMETOOLONG);
    CIpmListener listener;
    EXPECT_EQ(listener.Listen("rtp/TmsFore01"), ENAMETOOLONG);
    CIpmClient client(4096, 1, "rtp/TmsFore01", 100);
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.LastError(), ENAMETOOLONG);
}

TEST(IpmPortTest, RuntimeFoldersNeverMeet) {
    tmstest::TestRuntimeDir first;
    CIpmListener listener;
    ASSERT_EQ(listener.Listen(kPort), 0);
    {
        tmstest::TestRuntimeDir second;
        CIpmClient client(4096, 1, kPort, 100);
        EXPECT_FALSE(client.IsOpen());
        EXPECT_EQ(client.LastError(), ENOENT);
    }
    ::setenv("TMS_RUNTIME_DIR", first.Path().c_str(), 1);
    CIpmClient client(4096, 1, kPort, 100);
    EXPECT_TRUE(client.IsOpen());
    struct stat st;
    ASSERT_EQ(::stat((first.Path() + "/ipm").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace

// The modem lines of a tty: the wake signal that ends a wait in the driver is handled from the
// first TtyModemIo on, so it never ends the process, and the object keeps a descriptor of its own.
#include "platform/ModemIo.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "support/TestUtil.h"

// A wake signal that reaches a thread outside any wait (sent just as the wait ended) is caught
// and does nothing; and closing the port's descriptor, even with its number taken by another
// file, leaves the object on the tty it was given.
TEST(ModemIo, WakeSignalIsHandledAndTheDescriptorIsItsOwn) {
    testutil::PtyPair pty;
    const int fd = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    platform::TtyModemIo io(fd);

    struct sigaction now {};
    ASSERT_EQ(sigaction(SIGRTMIN + 3, nullptr, &now), 0);
    EXPECT_NE(now.sa_handler, SIG_DFL);
    EXPECT_NE(now.sa_handler, SIG_IGN);
    EXPECT_EQ(now.sa_flags & SA_RESTART, 0);  // the driver's wait must return EINTR
    ASSERT_EQ(pthread_kill(pthread_self(), SIGRTMIN + 3), 0);
    io.Interrupt();  // nobody waits: nothing is sent

    platform::ModemState lines;
    const platform::Result before = io.GetLines(lines);
    ::close(fd);
    const int other = ::open("/dev/null", O_RDWR | O_CLOEXEC);  // may take the number
    const platform::Result after = io.GetLines(lines);
    EXPECT_EQ(after.ok, before.ok);
    EXPECT_EQ(after.error, before.error);
    EXPECT_NE(after.error, EBADF);
    ::close(other);
}

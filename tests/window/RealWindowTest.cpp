// The built program in a real X window: found by its title, looked at, closed by the user's key.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include "support/TestUtil.h"

namespace {

TEST(RealWindow, StartsShowsTheDialogAndClosesOnEscape) {
    testutil::XvfbServer x;
    ASSERT_FALSE(x.display.empty()) << "Xvfb did not start";
    // What the program says on stderr is kept, to tell why it did not show a window.
    testutil::TempDir files;
    const std::string errors = files.File("stderr");
    testutil::ChildProcess program;
    ASSERT_TRUE(program.Start({"/bin/sh", "-c", "exec '" VASKEL_BINARY "' 2>'" + errors + "'"},
                              {"DISPLAY=" + x.display, "QT_QPA_PLATFORM=xcb"}));

    const std::string env = "DISPLAY=" + x.display + " ";
    std::string id;
    for (int i = 0; i < 100 && id.empty() && program.Running(); ++i) {
        id =
            testutil::RunCommand(env + "xdotool search --name '^Vaskel Ver\\. 1\\.0$' 2>/dev/null");
        if (id.empty())
            usleep(100000);
    }
    ASSERT_FALSE(id.empty()) << "no window titled \"Vaskel Ver. 1.0\" on " << x.display
                             << "; the program said:\n"
                             << testutil::ReadFile(errors);
    id = id.substr(0, id.find('\n'));

    const std::string geometry = testutil::RunCommand(env + "xdotool getwindowgeometry " + id);
    EXPECT_NE(geometry.find("Geometry:"), std::string::npos) << geometry;

    testutil::Pump(500);  // let it paint
    const std::string shot = std::string(VASKEL_ARTIFACTS) + "/vaskel-window.png";
    int code = -1;
    testutil::RunCommand(env + "import -window " + id + " " + shot + " 2>&1", &code);
    EXPECT_EQ(code, 0);
    struct stat st {};
    ASSERT_EQ(stat(shot.c_str(), &st), 0) << shot;
    EXPECT_GT(st.st_size, 5000) << "the screenshot looks empty";

    // No window manager runs: give the window the input focus directly, then press Escape.
    testutil::RunCommand(env + "xdotool windowfocus --sync " + id + " key Escape 2>&1");
    const int status = program.Wait(10000);
    ASSERT_NE(status, -1) << "the program did not end on Escape";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

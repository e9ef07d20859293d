// Test support: headless Chromium's screenshot of a page, for the tests that
// look at what `vorc serve` shows in a real browser.
#ifndef VORC_TESTS_SUPPORT_BROWSER_H
#define VORC_TESTS_SUPPORT_BROWSER_H

#include <string>
#include <vector>

#include "support/png_reading.h"
#include "support/tool_process.h"

namespace vorctest {

// The screenshot of the address in a window of width x height, within 60 s;
// false if none. With pageMillis, the page's timers run that long (in the
// browser's virtual time) before the shot. Chromium's home is the scratch
// directory too, since a test run may have none; its log goes to scratch +
// "chromium.log".
inline bool screenshot(const std::string& url, const std::string& png, const std::string& scratch, int width = 400,
                       int height = 300, int pageMillis = 0) {
    std::vector<std::string> arguments = {
        "env", "HOME=" + scratch, "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
        "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--user-data-dir=" + scratch + "profile", "--window-size=" + std::to_string(width) + "," + std::to_string(height),
        "--force-device-scale-factor=1", "--hide-scrollbars", "--screenshot=" + png};
    if (pageMillis > 0) arguments.push_back("--virtual-time-budget=" + std::to_string(pageMillis));
    arguments.push_back(url);
    ChildProcess chromium(scratch + "chromium.log", arguments);
    chromium.wait(60);
    return readPng(png).width > 0;
}

// Whether Chromium can start at all here (a screenshot of a blank page), so
// that a test can skip, naming the reason, where it cannot.
inline bool chromiumStarts(const std::string& scratch, std::string* log) {
    if (screenshot("about:blank", scratch + "blank.png", scratch + "blank-")) return true;
    *log = readFile(scratch + "blank-chromium.log").substr(0, 2000);
    return false;
}

}  // namespace vorctest

#endif

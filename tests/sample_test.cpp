// The bundled sample stream is what `vorc encode --synthetic` writes with
// its defaults: running the command again must reproduce it byte for byte,
// on any machine and with any build type.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Sample, EncodeSyntheticReproducesTheBundledSample) {
    char path[] = "/tmp/vorc_sample_XXXXXX";
    const int descriptor = mkstemp(path);
    ASSERT_GE(descriptor, 0);
    close(descriptor);

    const std::string command = std::string("'") + VORC_TOOL_PATH + "' encode --synthetic --quiet -o '" + path + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::vector<char> made = readFile(path);
    std::remove(path);

    const std::vector<char> bundled = readFile(std::string(VORC_SOURCE_DIR) + "/data/sample.tesra");
    ASSERT_FALSE(bundled.empty());
    EXPECT_LT(bundled.size(), 2u * 1024 * 1024);
    EXPECT_TRUE(made == bundled) << "made " << made.size() << " bytes, bundled " << bundled.size();
}

}  // namespace

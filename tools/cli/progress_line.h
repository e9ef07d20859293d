// The vorc tool's progress line: one line on standard error, redrawn in
// place while a command reads or writes a stream, with a total and a
// percentage when the size of the work is known. Only drawn on a terminal.
#ifndef VORC_TOOLS_CLI_PROGRESS_LINE_H
#define VORC_TOOLS_CLI_PROGRESS_LINE_H

#include <cstdint>

struct CommonOptions;

class ProgressLine {
public:
    // totalBytes and totalFrames are 0 when unknown; with both known the
    // frames make the percentage.
    ProgressLine(bool enabled, uint64_t totalBytes, long totalFrames);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Redraws the line, at most ten times a second.
    void update(long frames, uint64_t bytes);
    // Draws the final state and ends the line.
    void finish();

    // Standard error is a terminal and the user did not turn the line off.
    static bool wanted(const CommonOptions& options);
    // Clears the line being drawn, if any, so that a message can take its
    // place; the next update draws it again below the message.
    static void makeRoomForMessage();

private:
    void draw(double now);

    bool enabled_;
    uint64_t totalBytes_;
    long totalFrames_;
    double startSeconds_;
    double lastDrawSeconds_ = -1.0;
    long frames_ = 0;
    uint64_t bytes_ = 0;
};

#endif

// The pull API in a few lines: every frame of a stream file, standard input
// ("-") or a live camera (HOST:PORT) as top-down RGB, one line per frame.
#include <iostream>

#include "vorc/vorc.h"

int main(int argc, char** argv) {
    if (argc != 2) return std::cerr << "usage: next_frame FILE|-|HOST:PORT\n", 2;
    try {
        vorc::Reader reader(argv[1]);
        while (auto frame = reader.next())
            std::cout << "frame " << frame->index << ": " << frame->width << "x" << frame->height
                      << (frame->damaged ? " damaged\n" : "\n");
    } catch (const vorcException& error) {
        return std::cerr << "next_frame: " << error.what() << "\n", 1;
    }
}

// Reads every frame of a video through the host stream service and shows it.
#include <flumina.h>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) return std::cerr << "usage: quick_start VIDEO_URL\n", 2;
    try {
        Android host;  // connects, or throws boost::system::system_error saying why it cannot
        const std::string config = R"([{"inputUrl":")" + std::string(argv[1]) +
                                   R"(","inputResizeWidth":640,"inputResizeHeight":360}])";
        if (!host.start(config, 8)["error"].is_null()) return 1;  // the host's reason is on standard error
        char* frame;
        long frames = 0;
        while (host.getRGB(&frame, 0) > 0) {  // 640 x 360 x 3 bytes, valid until the next getRGB
            ++frames;                          // ... work on the frame ...
            host.pushBufferForDisplay(frame, 0);
        }
        std::cout << frames << " frames\n";  // 0 from getRGB: the input has ended
    } catch (const boost::system::system_error& e) {  // no host listens, or it went away
        std::cerr << "quick_start: " << e.what() << "\n";
        return 1;
    }
}

// Links against libflumina and uses its public header only.
#include <flumina.h>

#include <iostream>

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--connect") {
        Android host;
        std::cout << host.start("[]", 2).dump() << std::endl;
        return 0;
    }
    // Without a service: prove the library loads and its symbols resolve.
    void (*heartbeat)() = keep;
    std::cout << "libflumina linked: " << (heartbeat != nullptr ? "yes" : "no") << std::endl;
    return 0;
}

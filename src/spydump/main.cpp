// gallion-spy-dump [--protocol zarn|cl|none|auto] FILE...: prints spy recordings as text.
#include <iostream>
#include <string>
#include <vector>

#include "spydump/spy_dump.h"

namespace {

void Usage()
{
    std::cerr << "usage: gallion-spy-dump [--protocol zarn|cl|none|auto] FILE...\n";
}

}  // namespace

int main(int argc, char** argv)
{
    Spy_protocol protocol = Spy_protocol::automatic;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--protocol" && i + 1 < argc) {
            if (!ParseSpyProtocol(argv[++i], protocol)) {
                Usage();
                return 2;
            }
        } else if (argument == "--help" || argument == "-h") {
            Usage();
            return 0;
        } else {
            files.push_back(argument);
        }
    }
    if (files.empty()) {
        Usage();
        return 2;
    }
    return DumpSpyFiles(files, protocol, std::cout);
}

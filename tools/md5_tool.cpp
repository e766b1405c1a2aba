// md5-tool FILE...: prints "<32 hex digits>  <file>" for each file, as md5sum does. A file that
// cannot be read is reported on standard error and makes the exit status 1; the others are still
// hashed.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "lumo/buffers/Md5.h"

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: md5-tool FILE...\n");
        return 2;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i)
    {
        std::string digest;
        const int error = ComputeFileMD5Hex(argv[i], digest);
        if (error != 0)
        {
            std::fprintf(stderr, "md5-tool: %s: cannot read the file: %s\n", argv[i], std::strerror(error));
            status = 1;
            continue;
        }
        std::printf("%s  %s\n", digest.c_str(), argv[i]);
    }
    if (std::fflush(stdout) != 0)
    {
        std::fprintf(stderr, "md5-tool: cannot write the output: %s\n", std::strerror(errno));
        return 1;
    }
    return status;
}

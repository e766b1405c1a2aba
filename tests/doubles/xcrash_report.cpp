// Stand-in for the crash-report program "XCrashReport.exe". The tests place it under that name
// beside the test binary. It appends how it was started to the file named by
// LUMO_XCRASH_RECORD:
//   start
//   cwd <working folder>
//   arg <argument>            one line per argument, argv[0] first
//   file ERRORLOG.TXT <yes|no>
//   file CRASH.DMP <yes|no>   whether the reports are in the working folder
//   end
// and exits with the code in LUMO_XCRASH_EXIT (0 when unset).

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <limits.h>

int main(int argc, char** argv)
{
    const char* record = getenv("LUMO_XCRASH_RECORD");
    if (record && *record)
    {
        FILE* out = fopen(record, "ae");
        if (!out)
            return 100;
        char cwd[PATH_MAX];
        fprintf(out, "start\ncwd %s\n", getcwd(cwd, sizeof cwd) ? cwd : "?");
        for (int i = 0; i < argc; ++i)
            fprintf(out, "arg %s\n", argv[i]);
        for (const char* name : {"ERRORLOG.TXT", "CRASH.DMP"})
            fprintf(out, "file %s %s\n", name, access(name, R_OK) == 0 ? "yes" : "no");
        fprintf(out, "end\n");
        fclose(out);
    }
    const char* code = getenv("LUMO_XCRASH_EXIT");
    return code && *code ? atoi(code) : 0;
}

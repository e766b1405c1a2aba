// A library that the tracking allocator's tests load with dlopen after main: its static
// initialiser keeps a block for the life of the process, as a renderer's compiler does with its
// option tables.

#include <cstddef>

namespace
{

struct KeepsATable
{
    KeepsATable() : table(new char[48]) { table[0] = 1; }
    char* table;  // never freed: the library's for as long as the process lives
};

KeepsATable g_keepsATable;

}  // namespace

extern "C" char LoadedLibraryFirstByte()
{
    return g_keepsATable.table[0];
}

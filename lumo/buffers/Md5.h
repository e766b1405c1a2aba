#pragma once
// The MD5 message digest of RFC 1321, over a stream of bytes or an open file, given as 32
// lower-case hexadecimal digits. The patch engine compares these texts with the checksums of its
// file lists, so the text form is an outside format.
//
// Usual use: open the file in binary read mode, construct MD5 from it (the constructor closes the
// file: the caller must not close it again), take hex_digest, compare, free it with delete[].
//
// Misuse (updating after finalize, finalizing twice, asking for the digest too early) is reported
// on standard error and otherwise ignored. A file that cannot be read to its end never yields a
// digest: hex_digest then returns an empty text, so a partly read file cannot pass as valid.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

class MD5
{
public:
    // Starts an empty digest; feed it with update, then finalize.
    MD5();
    // Hashes the whole file from its current position and finalizes; the file is closed by then.
    // A null file counts as a file that cannot be read.
    explicit MD5(FILE* file);

    MD5(const MD5&) = delete;
    MD5& operator=(const MD5&) = delete;

    void update(const uint8_t* input, uint32_t length);
    // Reads the file from its current position in pieces of 1024 bytes until a read returns
    // nothing, adds each piece, then closes the file (also after a read error).
    void update(FILE* file);
    void finalize();
    // A new 33-byte text: the 32 digits and a NUL; empty before finalize or after a read error.
    // The caller frees it with delete[].
    char* hex_digest();

    // True once a file given to update could not be read to its end.
    bool read_failed() const { return m_readFailed; }

private:
    void init();
    void transform(const uint8_t block[64]);
    // Runs the compression function over count consecutive 64-byte blocks.
    static void transform_blocks(uint32_t state[4], const uint8_t* blocks, size_t count);

    uint32_t state[4];
    uint32_t count[2];  // bits hashed so far, low word first
    uint8_t buffer[64]; // the partial input block
    uint8_t digest[16];
    bool finalized;
    bool m_readFailed = false;
};

// Hashes a whole file given by its native (UTF-8, "/"-separated) path, reading it in large blocks,
// and stores the 32 digits in hexDigest. Returns 0, or the errno of the open or read that failed
// (hexDigest is then empty). Files of any size; the fast way for whole files. The name is opened
// as a user's tool opens what it is told (a FIFO waits for its writer): never for a file of an
// installation, which is hashed through a descriptor opened by the installation's rules.
int ComputeFileMD5Hex(const std::string& nativePath, std::string& hexDigest);

// Hashes what the descriptor reads from its current position to the end, in large blocks. A long
// hash can be stopped: keepGoing (when set) is asked before every kMD5BlocksPerCheck-th block
// after the first, so a file below that many blocks is never asked about; when it says stop the
// result is ECANCELED. Returns 0, ECANCELED, or the errno of the read that failed (hexDigest is
// then empty). The descriptor stays open.
inline constexpr size_t kMD5BlockSize = 256 * 1024;
inline constexpr size_t kMD5BlocksPerCheck = 16;
int ComputeDescriptorMD5Hex(int fd, std::string& hexDigest, const std::function<bool()>& keepGoing = {});

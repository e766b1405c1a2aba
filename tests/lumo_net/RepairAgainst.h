// Runs of the repair client for tests: to its end, and against a server written in the test.
#pragma once

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <string>
#include <vector>

#include "lumo/net/RepairClient.h"
#include "platform/NativePath.h"
#include "tests/fixtures/WaitFor.h"
#include "tests/lumo_net/LoopbackPeer.h"
#include "tests/lumo_net/RepairWire.h"
#include "tests/lumo_net/FolderDoor.h"

namespace repairtest
{

inline void RunToEnd(RepairClient& client)
{
    client.Start();
    ASSERT_TRUE(fixtures::WaitFor([&] { return !client.IsRunning(); }));
}

// Repairs install against a server written here: it answers the version and sends the records, whatever the summary,
// announcing their number (or announced when given). A server that announces more than it sends closes after them.
inline void RepairAgainst(RepairClient& client, const std::string& install, const std::vector<std::string>& records,
                          int64_t announced = -1)
{
    std::string answer("\x06\0\0\0", 4);
    PutU32(answer, announced < 0 ? uint32_t(records.size()) : uint32_t(announced));
    for (const std::string& record : records)
        answer += record;
    const bool closeAfter = announced > int64_t(records.size());
    nettest::LoopbackPeer server([&](int fd) {
        char chunk[4096];
        if (recv(fd, chunk, 4, MSG_WAITALL) == 4 && nettest::SendAll(fd, answer.data(), answer.size()) && !closeAfter)
            while (recv(fd, chunk, sizeof chunk, 0) > 0)
                continue;
    });
    EXPECT_EQ(client.SetRootFolder(DoorOf(install)), LUMORESULT_OK);
    EXPECT_EQ(client.SetSummaryFile(FromNativePath(install + "/repair.cks")), LUMORESULT_OK);
    EXPECT_EQ(client.SetServerAddress(server.Address()), LUMORESULT_OK);
    RunToEnd(client);
}

// What the client said of its failures, one reason a line (the run shows them to the user).
inline std::string Reasons(RepairClient& client)
{
    std::string lines;
    for (const std::string& reason : client.TakeFailureReasons())
        lines += reason + "\n";
    return lines;
}

} // namespace repairtest

// TYPE goes out only when a transfer needs another type than the one the server last
// acknowledged on this connection; a refused TYPE is asked again, a new connection
// starts knowing none.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ftp/ftp_client.h"
#include "tests/ftp/ftp_test_helpers.h"
#include "tests/support/files.h"

namespace klv::testing {
namespace {

using ftp::DataConnection;
using ftp::Direction;
using ftp::TransferType;

TEST(TypeOncePerChange, SentOnlyWhenTheConnectionsTypeChanges) {
    ScratchDirectory dir;
    WriteFileBytes(dir.File("page"), "x");
    FakeFtpServer first;
    ScriptLogon(first)
        .Expect("TYPE A")
        .Reply("200 A\r\n")
        .Expect("PASV")
        .Reply("502 no\r\n")
        .Expect("PASV")
        .Reply("502 no\r\n")
        .Expect("TYPE I")
        .Reply("504 not now\r\n")
        .Expect("TYPE I")
        .Reply("200 I\r\n")
        .Expect("PASV")
        .Reply("502 no\r\n")
        .Expect("TYPE A")
        .Reply("200 A\r\n")
        .Expect("PASV")
        .Reply("502 no\r\n")
        .WaitForClose();
    FakeFtpServer second;
    ScriptLogon(second)
        .Expect("TYPE A")
        .Reply("200 A\r\n")
        .Expect("PASV")
        .Reply("502 no\r\n")
        .WaitForClose();
    first.Start();
    second.Start();

    ftp::FtpClient client;
    client.setIdleTimeout(kTestIdleTimeout);
    const auto upload = [&](TransferType type) {
        (void)client.TransferFile("p", dir.File("page"), DataConnection::Passive, Direction::Upload,
                                  type);
        return client.lastTransferStage();
    };
    ASSERT_TRUE(client.LogOn(DirectLogon(first.port())));
    EXPECT_EQ(upload(TransferType::Ascii), ftp::TransferStage::DataSetup);
    EXPECT_EQ(upload(TransferType::Ascii), ftp::TransferStage::DataSetup);
    EXPECT_EQ(upload(TransferType::Image), ftp::TransferStage::Type);
    EXPECT_EQ(upload(TransferType::Image), ftp::TransferStage::DataSetup);
    EXPECT_EQ(upload(TransferType::Ascii), ftp::TransferStage::DataSetup);
    ASSERT_TRUE(client.LogOn(DirectLogon(second.port())));
    EXPECT_EQ(upload(TransferType::Ascii), ftp::TransferStage::DataSetup);
    client.Disconnect();

    for (FakeFtpServer* server : {&first, &second}) {
        server->Finish();
        EXPECT_THAT(server->errors(), ::testing::IsEmpty());
    }
}

}  // namespace
}  // namespace klv::testing

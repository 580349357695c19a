// The receive-all capture's Winsock steps, behind a stand-in for Winsock:
// receive-all mode runs only on real Windows, so its order, its failures and
// its clean-up are checked here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/backend/win/WinsockCapture.h"

namespace {

class TFakeWinsock final : public TWinsockCalls {
 public:
  std::string FailAt;  // the step that fails
  std::vector<std::string> Calls;
  int Startup() override { return Step("WSAStartup") ? 0 : WSASYSNOTREADY; }
  void Cleanup() override { Calls.push_back("WSACleanup"); }
  SOCKET RawSocket(int protocol) override {
    return Step("WSASocketA " + std::to_string(protocol)) ? static_cast<SOCKET>(7) : INVALID_SOCKET;
  }
  SOCKET DatagramSocket() override { return Step("socket") ? static_cast<SOCKET>(8) : INVALID_SOCKET; }
  int Bind(SOCKET, std::uint32_t address) override { return Step("bind " + std::to_string(address)) ? 0 : SOCKET_ERROR; }
  int ReceiveAll(SOCKET) override { return Step("SIO_RCVALL") ? 0 : SOCKET_ERROR; }
  int AddressList(SOCKET, char*, DWORD) override { return SOCKET_ERROR; }
  int Receive(SOCKET, std::uint8_t*, std::size_t, DWORD&) override {
    Calls.push_back("WSARecv");
    return SOCKET_ERROR;
  }
  int Close(SOCKET) override {
    Calls.push_back("closesocket");
    return 0;
  }
  int LastError() override { return WSAEACCES; }

 private:
  bool Step(const std::string& call) {
    Calls.push_back(call);
    return call.rfind(FailAt, 0) != 0 || FailAt.empty();
  }
};

TEST(WinsockCaptureTest, OpensInTheDesignedOrderAndUndoesEveryStepOnFailure) {
  constexpr std::uint32_t Address = 0x0100007F;  // 127.0.0.1 as it lies in memory
  const std::string bind = "bind " + std::to_string(Address);
  struct TCase {
    std::string FailAt;
    bool Opens;
    TOpenStage Stage;
    std::vector<std::string> Calls;  // until the capture is released
  } const cases[] = {
      {"", true, TOpenStage::Activate,
       {"WSAStartup", "WSASocketA 0", bind, "SIO_RCVALL", "closesocket", "WSACleanup"}},
      {"WSAStartup", false, TOpenStage::Create, {"WSAStartup"}},
      {"WSASocketA", false, TOpenStage::Create, {"WSAStartup", "WSASocketA 0", "WSACleanup"}},
      {"bind", false, TOpenStage::Bind, {"WSAStartup", "WSASocketA 0", bind, "closesocket", "WSACleanup"}},
      {"SIO_RCVALL", false, TOpenStage::Activate,
       {"WSAStartup", "WSASocketA 0", bind, "SIO_RCVALL", "closesocket", "WSACleanup"}},
  };
  for (const auto& c : cases) {
    TFakeWinsock winsock;
    winsock.FailAt = c.FailAt;
    TOpenFailure failure;
    {
      auto capture = TWinsockCaptureSocket::Open(Address, failure, winsock);
      EXPECT_EQ(capture != nullptr, c.Opens) << c.FailAt;
      if (!c.Opens) {
        EXPECT_EQ(failure.Stage, c.Stage) << c.FailAt;
        EXPECT_NE(failure.Reason.find("Winsock error"), std::string::npos) << failure.Reason;
      }
    }
    EXPECT_EQ(winsock.Calls, c.Calls) << c.FailAt;
  }
}

TEST(WinsockCaptureTest, AStopEndsTheReceiveAsInterruptedAndAFailedReceiveAsFailed) {
  struct TSink final : TDatagramSink {
    void Datagram(const TCapturedDatagram&) override { ADD_FAILURE() << "no datagram was sent"; }
  } sink;
  TFakeWinsock winsock;
  TOpenFailure failure;
  auto capture = TWinsockCaptureSocket::Open(0x0100007F, failure, winsock);
  ASSERT_TRUE(capture);
  EXPECT_EQ(capture->Receive(sink), TCaptureSocket::TReceiveStatus::Failed);
  EXPECT_NE(capture->LastError().find("WSARecv: Winsock error 10013"), std::string::npos) << capture->LastError();
  capture->Interrupt();
  EXPECT_EQ(capture->Receive(sink), TCaptureSocket::TReceiveStatus::Interrupted);
  // Closed once, whoever asks.
  capture->Close();
  EXPECT_EQ(std::count(winsock.Calls.begin(), winsock.Calls.end(), "closesocket"), 1);
}

}  // namespace

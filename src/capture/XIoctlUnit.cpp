#include "capture/XIoctlUnit.h"

#include <exception>

#include <iostream>
#include <mutex>
#include <utility>


#include "capture/CaptureFactory.h"
#include "capture/backend/HostAddresses.h"
#include "support/Assertion.h"
#include "support/TextDevs.h"

namespace {

std::mutex SinkMutex;
TErrorBoxSink ErrorBoxSink;
TReasonSink ReasonSink;

// The backend's reason goes where diagnostics go, and to standard error;
// returned for the box that follows.
std::string ReportReason(const TXIoctl& state, std::string_view context, const std::string& reason) {
  const std::string line = std::string(context) + ": " + reason;
  TReasonSink sink = state.Reason;
  if (!sink) {
    std::lock_guard lock(SinkMutex);
    sink = ReasonSink;
  }
  if (sink)
    sink(line);
  else
    std::cerr << "wirepeek: " << line << std::endl;
  if (TraceOutput.WantsText()) {
    try {
      TraceOutput.WriteLine(line);
    } catch (const ETextChannelError&) {
      // The channel was closed in the meantime; standard error has it.
    }
  }
  return line;
}

// Cuts at 255 bytes without splitting a UTF-8 sequence.
std::string_view CutTo255(std::string_view text) {
  if (text.size() <= 255) return text;
  std::size_t end = 255;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace

void SetErrorBoxSink(TErrorBoxSink Sink) {
  std::lock_guard lock(SinkMutex);
  ErrorBoxSink = std::move(Sink);
}

void SetReasonSink(TReasonSink Sink) {
  std::lock_guard lock(SinkMutex);
  ReasonSink = std::move(Sink);
}

int ShowErrorBox(std::string_view Text, std::string_view Detail) {
  const std::string_view text = CutTo255(Text);
  TErrorBoxSink sink;
  {
    std::lock_guard lock(SinkMutex);
    sink = ErrorBoxSink;
  }
  if (sink) return sink(text, Detail);
  std::cerr << ErrorBoxCaption << ": " << text << std::endl;
  return 1;  // OK
}

int TXIoctl::ShowErrorBox(std::string_view Text, std::string_view Detail) const {
  if (!ErrorBox) return ::ShowErrorBox(Text, Detail);
  return ErrorBox(CutTo255(Text), Detail);
}

void TXIoctl::ResetCounters() noexcept {
  TotalPackets = 0;
  TotalBytes = 0;
  Counters = CategoryCounters{};
}

std::int32_t TXIoctl::ListAdaptor() {
  AdapterCount = -1;
  std::vector<THostAddress> host;
  if (!HostAddressSource || !HostAddressSource(host)) {
    ShowErrorBox("ListAdaptor Error:WSAIoctl SOCKET_ERROR");
    return -1;
  }
  const auto addresses = CaptureAddresses(host);
  const auto n = static_cast<std::int32_t>(addresses.size());
  if (n <= 0) {
    ShowErrorBox("ListAdaptor Error:Too Many Adapter or No Adapter");
    return -1;
  }
  SelectedAdapter = 1;
  Adapters = AdapterTable{};
  AdapterNames = {};
  AdapterIsInterface = {};
  for (std::int32_t i = 1; i <= n; ++i) {
    Adapters[i] = addresses[static_cast<std::size_t>(i - 1)];
    AdapterNames[i] = InterfaceOwning(host, Adapters[i]);
  }
  // Then the interfaces as wholes, after every address, so an address keeps
  // its place in the list.
  std::int32_t count = n;
  if (WholeInterfaceCapture) {
    for (const std::string& name : CaptureInterfaces(host)) {
      ++count;
      Adapters[count] = TIpAddress{};
      AdapterNames[count] = name;
      AdapterIsInterface[count] = 1;
    }
  }
  AdapterCount = count;
  return count;
}

bool TXIoctl::SelectAdapter(const std::string& adapter) {
  TIpAddress parsed;
  std::string scope;
  const bool address = TIpAddress::Parse(adapter, parsed, &scope);
  if (!address) {
    std::vector<THostAddress> host;
    if (!WholeInterfaceCapture || adapter.empty() || !HostAddressSource || !HostAddressSource(host) ||
        InterfaceAddresses(host, adapter).empty())
      return false;
  }
  Adapters = AdapterTable{};
  AdapterNames = {};
  AdapterIsInterface = {};
  Adapters[1] = address ? parsed : TIpAddress{};
  AdapterNames[1] = address ? scope : adapter;
  AdapterIsInterface[1] = address ? 0 : 1;
  AdapterCount = 1;
  SelectedAdapter = 1;
  return true;
}

std::vector<TIpAddress> TXIoctl::AdapterAddresses(std::int32_t index) const {
  if (!AdapterIsInterface[index]) return {Adapters[index]};
  std::vector<THostAddress> host;
  if (HostAddressSource) HostAddressSource(host);
  return InterfaceAddresses(host, AdapterNames[index]);
}

std::string AdapterEntryText(const TXIoctl& state, std::int32_t index) {
  const std::string name = state.AdapterNames[index];
  if (state.AdapterIsInterface[index]) return name + " (all addresses)";
  const std::string address = ScopedText(state.Adapters[index], name);
  return name.empty() ? address : address + " (" + name + ")";
}

std::string AdapterEntryKey(const TXIoctl& state, std::int32_t index) {
  if (state.AdapterIsInterface[index]) return state.AdapterNames[index];
  return ScopedText(state.Adapters[index], state.AdapterNames[index]);
}

std::int32_t TXIoctl::InitAdapter() {
  // The capture thread looks the address up by this index, file or not.
  WIREPEEK_ASSERT(SelectedAdapter >= 1, "SelectedAdapter is below 1");
  CaptureSocket.reset();
  RightsFix = {};
  TCaptureRequest request;
  request.File = CaptureFile;
  request.WholeDatagrams = DumpChannel.WantsText();
  request.Helper = CaptureHelper;
  request.ExePath = ExePath;
  if (request.File.empty()) {
    if (SelectedAdapter < 1 || SelectedAdapter > Adapters.Count()) {
      ShowErrorBox("IntAdapter :bind failed");
      return -1;
    }
    std::vector<THostAddress> host;
    if (HostAddressSource) HostAddressSource(host);
    if (AdapterIsInterface[SelectedAdapter]) {
      request.Interface = AdapterNames[SelectedAdapter];
      request.WholeInterface = true;
      if (InterfaceAddresses(host, request.Interface).empty()) {
        ShowErrorBox("IntAdapter :bind failed", ReportReason(*this, request.Interface, "the interface holds no address"));
        return -1;
      }
    } else {
      request.Address = Adapters[SelectedAdapter];
      request.Interface = InterfaceOwning(host, request.Address);
      // A link-local address means nothing without its interface: the one it
      // was listed or asked for with.
      if (request.Address.IsLinkLocal() && !AdapterNames[SelectedAdapter].empty())
        request.Interface = AdapterNames[SelectedAdapter];
      if (request.Interface.empty()) {
        ShowErrorBox("IntAdapter :bind failed", ReportReason(*this, "capture", "no interface owns the address"));
        return -1;
      }
    }
  }
  TOpenFailure failure;
  CaptureSocket = OpenCaptureSocket(request, failure);
  if (CaptureSocket) return 0;
  // The box says why, and what to do: a program started from the desktop
  // has no standard error to read.
  RightsFix = failure.Fix;
  const char* box = failure.Stage == TOpenStage::Create ? "InitAdapter :WSASocket failed"
                    : failure.Stage == TOpenStage::Bind ? "IntAdapter :bind failed"
                                                        : "InitAdapter : WSAIoCtl failed";
  ShowErrorBox(box, ReportReason(*this, request.File.empty() ? request.Interface : request.File, failure.Reason));
  return -1;
}

void TXIoctl::TermAdapter() {
  KeepRunning.store(0);
  if (CaptureSocket) CaptureSocket->Interrupt();
  // Short steps: a notification in flight is served between them. A handler
  // that fails does not end the wait: its failure is passed on once the
  // capture thread has stopped.
  std::exception_ptr failure;
  while (StopEvent.WaitFor(std::chrono::milliseconds(2)) == TManualResetEvent::TWaitResult::Timeout) {
    if (!NotifyWindow) continue;
    try {
      NotifyWindow->ServePending();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

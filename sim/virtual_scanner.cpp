#include "virtual_scanner.h"

#include <cstring>

#include "platform.h"

namespace tq5sim {

namespace {

// No request frame is longer: a write carries at most a 4-byte header and
// 65535 data bytes; a control request its code, three numbers and data.
constexpr uint32_t kMaxPayload = 4 + 65535 + 16;

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

VirtualScanner::VirtualScanner() : device_(&scene_) {}

VirtualScanner::~VirtualScanner() { Stop(); }

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------
uint32_t VirtualScanner::NewConnection() {
  std::lock_guard<std::mutex> guard(mutex_);
  const uint32_t id = nextLink_++;
  links_[id].id = id;
  ++counters_.connections;
  return id;
}

void VirtualScanner::CloseConnection(uint32_t connection) {
  std::lock_guard<std::mutex> guard(mutex_);
  links_.erase(connection);
}

Link& VirtualScanner::LinkFor(uint32_t id) {
  Link& link = links_[id];
  link.id = id;
  return link;
}

Reply VirtualScanner::Handle(uint32_t connection, uint8_t kind, const uint8_t* payload, size_t length) {
  std::lock_guard<std::mutex> guard(mutex_);
  Reply reply;
  reply.kind = static_cast<uint8_t>(kind | 0x80);
  if (kind < 1 || kind > 3) {
    reply.drop = true;
    ++counters_.malformed;
    return reply;
  }
  if (dropNext_) {
    dropNext_ = false;
    reply.drop = true;
    ++counters_.dropped;
    links_.erase(connection);
    return reply;
  }
  Link& link = LinkFor(connection);
  const uint64_t number = ++seen_[kind];
  if (failAt_[kind] != 0 && number == failAt_[kind]) {
    failAt_[kind] = 0;
    reply.status = kStatusFailed;
    ++counters_.failed;
    return reply;
  }
  switch (static_cast<RequestKind>(kind)) {
    case RequestKind::Write:
      ++counters_.writes;
      reply.status = device_.HandleWrite(link, payload, length);
      break;
    case RequestKind::Read:
      ++counters_.reads;
      reply.status = length == 4 ? device_.HandleRead(link, Le32(payload), &reply.data) : kStatusFailed;
      break;
    case RequestKind::Control:
      ++counters_.controls;
      if (failResets_ && length >= 4 && Le32(payload) == kIoctlResetPipe) {
        reply.status = kStatusFailed;
      } else {
        reply.status = device_.HandleControl(link, payload, length);
      }
      break;
  }
  if (reply.status != kStatusOk) ++counters_.failed;
  return reply;
}

VirtualScanner::Session::Session(VirtualScanner& scanner) : scanner_(scanner), id_(scanner.NewConnection()) {}

VirtualScanner::Session::~Session() { scanner_.CloseConnection(id_); }

uint32_t VirtualScanner::Session::Write(const std::vector<uint8_t>& bytes) {
  if (dropped_) return kStatusFailed;
  const Reply r = scanner_.Handle(id_, 0x01, bytes.data(), bytes.size());
  dropped_ = r.drop;
  return r.drop ? kStatusFailed : r.status;
}

uint32_t VirtualScanner::Session::Read(uint32_t count, std::vector<uint8_t>* out) {
  if (dropped_) return kStatusFailed;
  uint8_t payload[4];
  PutLe32(payload, count);
  Reply r = scanner_.Handle(id_, 0x02, payload, 4);
  dropped_ = r.drop;
  *out = std::move(r.data);
  return r.drop ? kStatusFailed : r.status;
}

uint32_t VirtualScanner::Session::Control(uint32_t code, const std::vector<uint8_t>& input) {
  if (dropped_) return kStatusFailed;
  std::vector<uint8_t> payload(4 + input.size());
  PutLe32(payload.data(), code);
  if (!input.empty()) std::memcpy(payload.data() + 4, input.data(), input.size());
  const Reply r = scanner_.Handle(id_, 0x03, payload.data(), payload.size());
  dropped_ = r.drop;
  return r.drop ? kStatusFailed : r.status;
}

bool VirtualScanner::Session::WriteRegister(uint8_t reg, uint8_t value) {
  return Write({0x00, reg, 0x00, 0x01, value}) == kStatusOk;
}

bool VirtualScanner::Session::ReadRegister(uint8_t reg, uint8_t* value) {
  if (Write({0x01, reg, 0x00, 0x01}) != kStatusOk) return false;
  std::vector<uint8_t> data;
  if (Read(1, &data) != kStatusOk || data.size() != 1) return false;
  *value = data[0];
  return true;
}

bool VirtualScanner::Session::WriteStream(uint8_t reg, const std::vector<uint8_t>& data) {
  size_t done = 0;
  while (done < data.size()) {
    const size_t chunk = std::min<size_t>(255, data.size() - done);
    std::vector<uint8_t> packet{0x00, reg, 0x00, static_cast<uint8_t>(chunk)};
    packet.insert(packet.end(), data.begin() + static_cast<ptrdiff_t>(done),
                  data.begin() + static_cast<ptrdiff_t>(done + chunk));
    if (Write(packet) != kStatusOk) return false;
    done += chunk;
  }
  return true;
}

bool VirtualScanner::Session::ReadStream(uint8_t reg, uint32_t count, std::vector<uint8_t>* out) {
  out->clear();
  while (count > 0) {
    const uint32_t chunk = std::min<uint32_t>(count, 0xFFFF);
    if (Write({0x01, reg, static_cast<uint8_t>(chunk >> 8), static_cast<uint8_t>(chunk)}) != kStatusOk) return false;
    std::vector<uint8_t> data;
    if (Read(chunk, &data) != kStatusOk || data.size() != chunk) return false;
    out->insert(out->end(), data.begin(), data.end());
    count -= chunk;
  }
  return true;
}

bool VirtualScanner::Session::ResetPipes() { return Control(kIoctlResetPipe, {3, 0, 0, 0}) == kStatusOk; }

// ---------------------------------------------------------------------------
// Servers
// ---------------------------------------------------------------------------
bool VirtualScanner::Start(const std::string& path) {
  std::lock_guard<std::mutex> guard(serverMutex_);
  if (deviceListener_ != nullptr) return false;
  deviceListener_ = PlatListen(path.c_str());
  if (deviceListener_ == nullptr) return false;
  stopping_ = false;
  deviceAcceptor_ = std::thread([this, listener = deviceListener_] { AcceptLoop(listener, false); });
  return true;
}

bool VirtualScanner::StartControl(const std::string& path) {
  std::lock_guard<std::mutex> guard(serverMutex_);
  if (controlListener_ != nullptr) return false;
  controlListener_ = PlatListen(path.c_str());
  if (controlListener_ == nullptr) return false;
  stopping_ = false;
  controlAcceptor_ = std::thread([this, listener = controlListener_] { AcceptLoop(listener, true); });
  return true;
}

void VirtualScanner::Stop() {
  stopping_ = true;
  if (deviceAcceptor_.joinable()) deviceAcceptor_.join();
  if (controlAcceptor_.joinable()) controlAcceptor_.join();
  std::list<Connection> closing;
  {
    std::lock_guard<std::mutex> guard(serverMutex_);
    PlatListenerClose(deviceListener_);
    PlatListenerClose(controlListener_);
    deviceListener_ = controlListener_ = nullptr;
    for (Connection& c : connections_) PlatStreamShutdown(c.stream);
    closing.splice(closing.end(), connections_);
  }
  for (Connection& c : closing) {
    if (c.thread.joinable()) c.thread.join();
    PlatStreamClose(c.stream);
  }
}

void VirtualScanner::ReapFinished() {
  std::list<Connection> finished;
  {
    std::lock_guard<std::mutex> guard(serverMutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), connections_, it);
      it = next;
    }
  }
  for (Connection& c : finished) {
    if (c.thread.joinable()) c.thread.join();
    PlatStreamClose(c.stream);
  }
}

void VirtualScanner::AcceptLoop(PlatListener* listener, bool control) {
  while (!stopping_) {
    PlatStream* stream = PlatAccept(listener, 50);
    ReapFinished();
    if (stream == nullptr) continue;
    std::lock_guard<std::mutex> guard(serverMutex_);
    if (stopping_) {
      PlatStreamClose(stream);
      break;
    }
    Connection& c = connections_.emplace_back();
    c.stream = stream;
    c.thread = control ? std::thread([this, &c] { ServeControl(&c); }) : std::thread([this, &c] { ServeDevice(&c); });
  }
}

void VirtualScanner::ServeDevice(Connection* connection) {
  PlatStream* stream = connection->stream;
  const uint32_t id = NewConnection();
  std::vector<uint8_t> payload;
  for (;;) {
    uint8_t header[8];
    if (!PlatStreamReadAll(stream, header, 8, kPlatWaitForever)) break;
    const uint8_t kind = header[0];
    const uint32_t length = Le32(header + 4);
    const bool wellFormed = kind >= 1 && kind <= 3 && header[1] == 0 && header[2] == 0 && header[3] == 0 &&
                            length <= kMaxPayload;
    if (!wellFormed) {
      std::lock_guard<std::mutex> guard(mutex_);
      ++counters_.malformed;
      break;
    }
    payload.resize(length);
    if (length > 0 && !PlatStreamReadAll(stream, payload.data(), length, kPlatWaitForever)) break;
    const Reply reply = Handle(id, kind, payload.data(), payload.size());
    if (reply.drop) break;
    std::vector<uint8_t> frame(12 + reply.data.size());
    frame[0] = reply.kind;
    PutLe32(&frame[4], static_cast<uint32_t>(4 + reply.data.size()));
    PutLe32(&frame[8], reply.status);
    if (!reply.data.empty()) std::memcpy(&frame[12], reply.data.data(), reply.data.size());
    if (!PlatStreamWriteAll(stream, frame.data(), frame.size())) break;
  }
  CloseConnection(id);
  PlatStreamShutdown(stream);
  connection->done = true;
}

void VirtualScanner::ServeControl(Connection* connection) {
  PlatStream* stream = connection->stream;
  std::string buffer;
  char chunk[512];
  bool open = true;
  while (open) {
    const size_t n = PlatStreamReadSome(stream, chunk, sizeof chunk, kPlatWaitForever);
    if (n == 0) break;
    buffer.append(chunk, n);
    if (buffer.size() > 65536) break;  // no command is that long
    size_t end;
    while ((end = buffer.find('\n')) != std::string::npos) {
      std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::string reply = Execute(line);
      if (!PlatStreamWriteAll(stream, reply.data(), reply.size())) {
        open = false;
        break;
      }
    }
  }
  PlatStreamShutdown(stream);
  connection->done = true;
}

// ---------------------------------------------------------------------------
// The physical scanner, faults and state
// ---------------------------------------------------------------------------
void VirtualScanner::PressButton(int button) {
  std::lock_guard<std::mutex> guard(mutex_);
  device_.SetButton(button, true);
}

void VirtualScanner::ReleaseButton(int button) {
  std::lock_guard<std::mutex> guard(mutex_);
  device_.SetButton(button, false);
}

void VirtualScanner::AttachFilmUnit(bool attached) {
  std::lock_guard<std::mutex> guard(mutex_);
  device_.SetFilmUnitAttached(attached);
}

void VirtualScanner::PowerCycle() {
  std::lock_guard<std::mutex> guard(mutex_);
  device_.PowerCycle();
}

void VirtualScanner::LoadChart() {
  std::lock_guard<std::mutex> guard(mutex_);
  scene_.SetDocument(std::make_shared<TestChart>());
  device_.SceneChanged();
}

void VirtualScanner::LoadDocument(Image image) {
  std::lock_guard<std::mutex> guard(mutex_);
  scene_.SetDocument(std::make_shared<ImageDocument>(std::move(image)));
  device_.SceneChanged();
}

bool VirtualScanner::LoadDocumentFile(const std::string& path, std::string* error) {
  Image image;
  if (!LoadPnm(path, &image, error)) return false;
  LoadDocument(std::move(image));
  return true;
}

void VirtualScanner::LoadFilm(FilmKind kind, const Image* image) {
  std::lock_guard<std::mutex> guard(mutex_);
  scene_.SetFilm(kind, image != nullptr ? std::make_shared<ImageDocument>(*image) : nullptr);
  device_.SceneChanged();
}

void VirtualScanner::FailNth(RequestKind kind, uint32_t nth) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto k = static_cast<size_t>(kind);
  failAt_[k] = nth == 0 ? 0 : seen_[k] + nth;
}

void VirtualScanner::FailPipeResets(bool fail) {
  std::lock_guard<std::mutex> guard(mutex_);
  failResets_ = fail;
}

void VirtualScanner::DropNextRequest() {
  std::lock_guard<std::mutex> guard(mutex_);
  dropNext_ = true;
}

void VirtualScanner::StopImageData(bool stop) {
  std::lock_guard<std::mutex> guard(mutex_);
  device_.SetStopImageData(stop);
}

void VirtualScanner::JamCarriage(bool jammed) {
  std::lock_guard<std::mutex> guard(mutex_);
  device_.SetJammed(jammed);
}

void VirtualScanner::DeadLamp(bool flatbed, bool film) {
  std::lock_guard<std::mutex> guard(mutex_);
  device_.SetDeadLamp(flatbed, film);
}

bool VirtualScanner::SetLampWarmUp(double seconds, double coldLight) {
  std::lock_guard<std::mutex> guard(mutex_);
  return device_.SetLampWarmUp(seconds, coldLight);
}

void VirtualScanner::CorruptRegister(uint8_t reg, uint8_t xorMask) {
  std::lock_guard<std::mutex> guard(mutex_);
  device_.SetCorruptRegister(reg, xorMask);
}

void VirtualScanner::CorruptMemory(int bank, int memory, int address) {
  std::lock_guard<std::mutex> guard(mutex_);
  device_.SetCorruptMemory(bank, memory, address);
}

void VirtualScanner::ClearFaults() {
  std::lock_guard<std::mutex> guard(mutex_);
  failAt_.fill(0);
  failResets_ = dropNext_ = false;
  device_.ClearModelFaults();
}

DeviceState VirtualScanner::State() {
  std::lock_guard<std::mutex> guard(mutex_);
  return device_.State();
}

std::array<uint8_t, 256> VirtualScanner::Registers() {
  std::lock_guard<std::mutex> guard(mutex_);
  return device_.Registers();
}

std::vector<uint8_t> VirtualScanner::Memory(int bank, int memory) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (bank < 0 || bank > 2 || memory < 0 || memory > 2) return {};
  return device_.Memory(bank, memory);
}

Counters VirtualScanner::GetCounters() {
  std::lock_guard<std::mutex> guard(mutex_);
  return counters_;
}

void VirtualScanner::EnableTrafficLog(bool on) {
  std::lock_guard<std::mutex> guard(mutex_);
  device_.EnableLog(on);
}

std::vector<TrafficEntry> VirtualScanner::TrafficLog() {
  std::lock_guard<std::mutex> guard(mutex_);
  return device_.Log();
}

void VirtualScanner::OnQuit(std::function<void()> callback) {
  std::lock_guard<std::mutex> guard(mutex_);
  onQuit_ = std::move(callback);
}

}  // namespace tq5sim

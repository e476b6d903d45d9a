// The control channel's command language. One command a line; the reply is
// zero or more lines of output followed by "ok" or "error: <reason>".
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform.h"
#include "virtual_scanner.h"

namespace tq5sim {

namespace {

constexpr const char* kHelp =
    "press 1|2                      hold a front-panel button down\n"
    "release 1|2                    let it go\n"
    "click 1|2                      press and release (seen by the next status read)\n"
    "film attach|detach             plug the film unit in or out\n"
    "film load positive|negative|none [FILE.pnm]\n"
    "power-cycle                    switch the scanner off and on\n"
    "lamp warmup SECONDS [COLD]     lamps warm up with that time constant (default 1.5),\n"
    "                               a cold one giving COLD of its warm light (default 0.75)\n"
    "document chart|FILE.pnm        put a document on the glass\n"
    "fault fail-write|fail-read|fail-control N   fail the Nth such request from now\n"
    "fault fail-reset on|off        pipe resets fail\n"
    "fault drop                     close the connection of the next request\n"
    "fault stop-data on|off         the sensor delivers no image data\n"
    "fault jam on|off               the carriage cannot move\n"
    "fault dead-lamp flatbed|film|both|off\n"
    "fault register REG MASK        reads of REG return value ^ MASK\n"
    "fault memory BANK MEMORY ADDR  that byte reads back inverted\n"
    "fault clear                    remove every fault\n"
    "state | registers | counters   show the scanner\n"
    "memory BANK MEMORY [OFFSET [COUNT]]  hex dump of a controller memory\n"
    "log on|off|clear|show [N]      the traffic log\n"
    "quit                           stop the daemon\n";

bool ParseNumber(const std::string& text, long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (end == nullptr || *end != '\0') return false;
  *value = v;
  return true;
}

const char* MotionName(Motion m) {
  switch (m) {
    case Motion::Idle: return "idle";
    case Motion::LeavingHome: return "leaving-home";
    case Motion::ReturningHome: return "returning-home";
    case Motion::Feeding: return "feeding";
    case Motion::Capturing: return "capturing";
  }
  return "?";
}

const char* OpName(TrafficEntry::Op op) {
  switch (op) {
    case TrafficEntry::Op::WriteRegister: return "write";
    case TrafficEntry::Op::WriteStream: return "write-stream";
    case TrafficEntry::Op::ReadHeader: return "read-header";
    case TrafficEntry::Op::ReadData: return "read-data";
    case TrafficEntry::Op::Control: return "control";
    case TrafficEntry::Op::Failed: return "failed";
  }
  return "?";
}

std::string Hex(uint32_t v, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, v);
  return text;
}

}  // namespace

std::string VirtualScanner::Execute(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string word; in >> word;) w.push_back(word);
  std::ostringstream out;
  auto error = [&](const std::string& reason) { return out.str() + "error: " + reason + "\n"; };
  auto ok = [&] { return out.str() + "ok\n"; };
  auto onOff = [&](size_t i, bool* value) {
    if (w.size() <= i) return false;
    if (w[i] == "on") *value = true;
    else if (w[i] == "off") *value = false;
    else return false;
    return true;
  };
  auto button = [&](int* b) {
    long v = 0;
    if (w.size() != 2 || !ParseNumber(w[1], &v) || (v != 1 && v != 2)) return false;
    *b = static_cast<int>(v);
    return true;
  };

  if (w.empty()) return error("empty command");
  const std::string& cmd = w[0];
  if (cmd == "help") {
    out << kHelp;
    return ok();
  }
  if (cmd == "press" || cmd == "release" || cmd == "click") {
    int b = 0;
    if (!button(&b)) return error("usage: " + cmd + " 1|2");
    if (cmd != "release") PressButton(b);
    if (cmd != "press") ReleaseButton(b);
    return ok();
  }
  if (cmd == "film") {
    if (w.size() == 2 && (w[1] == "attach" || w[1] == "detach")) {
      AttachFilmUnit(w[1] == "attach");
      return ok();
    }
    if (w.size() >= 3 && w.size() <= 4 && w[1] == "load") {
      FilmKind kind;
      if (w[2] == "positive") kind = FilmKind::Positive;
      else if (w[2] == "negative") kind = FilmKind::Negative;
      else if (w[2] == "none") kind = FilmKind::None;
      else return error("film type is positive, negative or none");
      if (w.size() == 4) {
        Image image;
        std::string why;
        if (!LoadPnm(w[3], &image, &why)) return error(why);
        LoadFilm(kind, &image);
      } else {
        LoadFilm(kind);
      }
      return ok();
    }
    return error("usage: film attach|detach|load TYPE [FILE]");
  }
  if (cmd == "lamp") {
    double seconds = 0, cold = Device::kDefaultColdLight;
    auto real = [](const std::string& text, double* value) {
      char* end = nullptr;
      *value = std::strtod(text.c_str(), &end);
      return !text.empty() && end != nullptr && *end == '\0';
    };
    if ((w.size() == 3 || w.size() == 4) && w[1] == "warmup" && real(w[2], &seconds) &&
        (w.size() == 3 || real(w[3], &cold)) && SetLampWarmUp(seconds, cold)) {
      return ok();
    }
    return error("usage: lamp warmup SECONDS (0.01-3600) [COLD (0.05-1)]");
  }
  if (cmd == "power-cycle" && w.size() == 1) {
    PowerCycle();
    return ok();
  }
  if (cmd == "document" && w.size() == 2) {
    if (w[1] == "chart") {
      LoadChart();
      return ok();
    }
    std::string why;
    if (!LoadDocumentFile(w[1], &why)) return error(why);
    return ok();
  }
  if (cmd == "fault" && w.size() >= 2) {
    const std::string& what = w[1];
    long n = 0;
    bool flag = false;
    if ((what == "fail-write" || what == "fail-read" || what == "fail-control") && w.size() == 3 &&
        ParseNumber(w[2], &n) && n >= 0) {
      const RequestKind kind = what == "fail-write"  ? RequestKind::Write
                               : what == "fail-read" ? RequestKind::Read
                                                     : RequestKind::Control;
      FailNth(kind, static_cast<uint32_t>(n));
      return ok();
    }
    if (what == "fail-reset" && w.size() == 3 && onOff(2, &flag)) {
      FailPipeResets(flag);
      return ok();
    }
    if (what == "drop" && w.size() == 2) {
      DropNextRequest();
      return ok();
    }
    if (what == "stop-data" && w.size() == 3 && onOff(2, &flag)) {
      StopImageData(flag);
      return ok();
    }
    if (what == "jam" && w.size() == 3 && onOff(2, &flag)) {
      JamCarriage(flag);
      return ok();
    }
    if (what == "dead-lamp" && w.size() == 3) {
      const std::string& lamp = w[2];
      if (lamp != "flatbed" && lamp != "film" && lamp != "both" && lamp != "off") {
        return error("dead-lamp flatbed|film|both|off");
      }
      DeadLamp(lamp == "flatbed" || lamp == "both", lamp == "film" || lamp == "both");
      return ok();
    }
    long a = 0, b = 0, c = 0;
    if (what == "register" && w.size() == 4 && ParseNumber(w[2], &a) && ParseNumber(w[3], &b) && a >= 0 &&
        a <= 255 && b >= 0 && b <= 255) {
      CorruptRegister(static_cast<uint8_t>(a), static_cast<uint8_t>(b));
      return ok();
    }
    if (what == "memory" && w.size() == 5 && ParseNumber(w[2], &a) && ParseNumber(w[3], &b) &&
        ParseNumber(w[4], &c) && a >= 0 && a <= 2 && b >= 0 && b <= 2 && c >= 0 && c < 16384) {
      CorruptMemory(static_cast<int>(a), static_cast<int>(b), static_cast<int>(c));
      return ok();
    }
    if (what == "clear" && w.size() == 2) {
      ClearFaults();
      return ok();
    }
    return error("unknown or malformed fault (see help)");
  }
  if (cmd == "state" && w.size() == 1) {
    const DeviceState s = State();
    out << "time_ms=" << s.nowMs << "\n"
        << "position_steps=" << s.positionSteps << "\n"
        << "position_600=" << s.positionSteps / 2.0 << "\n"
        << "at_home=" << s.atHome << "\n"
        << "motion=" << MotionName(s.motion) << "\n"
        << "command=" << int(s.command) << "\n"
        << "capture=" << (s.captureActive ? "active" : "idle") << "\n"
        << "paused=" << s.capturePaused << "\n"
        << "finished=" << s.finished << "\n"
        << "unread_bytes=" << s.unreadBytes << "\n"
        << "line_bytes=" << s.lineBytes << "\n"
        << "lines_produced=" << s.linesProduced << "\n"
        << "flatbed_lamp=" << (s.flatbedLampOn ? "on" : "off") << "\n"
        << "flatbed_light=" << s.flatbedLight << "\n"
        << "film_lamp=" << (s.filmLampOn ? "on" : "off") << "\n"
        << "film_light=" << s.filmLight << "\n"
        << "film_unit=" << (s.filmUnitAttached ? "attached" : "detached") << "\n"
        << "init_marker=" << s.initMarker << "\n"
        << "button1=" << s.buttons[0] << "\n"
        << "button2=" << s.buttons[1] << "\n";
    return ok();
  }
  if (cmd == "registers" && w.size() == 1) {
    const auto regs = Registers();
    for (int row = 0; row < 256; row += 16) {
      out << Hex(static_cast<uint32_t>(row), 2) << ":";
      for (int k = 0; k < 16; ++k) out << " " << Hex(regs[row + k], 2);
      out << "\n";
    }
    return ok();
  }
  if (cmd == "counters" && w.size() == 1) {
    const Counters c = GetCounters();
    out << "connections=" << c.connections << "\nwrites=" << c.writes << "\nreads=" << c.reads
        << "\ncontrols=" << c.controls << "\nfailed=" << c.failed << "\nmalformed=" << c.malformed
        << "\ndropped=" << c.dropped << "\n";
    return ok();
  }
  if (cmd == "memory" && w.size() >= 3 && w.size() <= 5) {
    long bank = 0, memory = 0, offset = 0, count = 256;
    if (!ParseNumber(w[1], &bank) || !ParseNumber(w[2], &memory) || bank < 0 || bank > 2 || memory < 0 ||
        memory > 2 || (w.size() >= 4 && !ParseNumber(w[3], &offset)) || (w.size() == 5 && !ParseNumber(w[4], &count))) {
      return error("usage: memory BANK(0-2) MEMORY(0-2) [OFFSET [COUNT]]");
    }
    const std::vector<uint8_t> bytes = Memory(static_cast<int>(bank), static_cast<int>(memory));
    if (offset < 0 || count < 0 || offset + count > static_cast<long>(bytes.size())) return error("outside the memory");
    for (long a = offset; a < offset + count; a += 16) {
      out << Hex(static_cast<uint32_t>(a), 4) << ":";
      for (long k = a; k < std::min(a + 16, offset + count); ++k) out << " " << Hex(bytes[k], 2);
      out << "\n";
    }
    return ok();
  }
  if (cmd == "log" && w.size() >= 2) {
    if (w[1] == "on" || w[1] == "off") {
      EnableTrafficLog(w[1] == "on");
      return ok();
    }
    if (w[1] == "clear") {
      std::lock_guard<std::mutex> guard(mutex_);
      device_.ClearLog();
      return ok();
    }
    if (w[1] == "show") {
      long limit = 100;
      if (w.size() == 3 && (!ParseNumber(w[2], &limit) || limit < 0)) return error("usage: log show [N]");
      const auto log = TrafficLog();
      const size_t first = log.size() > static_cast<size_t>(limit) ? log.size() - static_cast<size_t>(limit) : 0;
      for (size_t i = first; i < log.size(); ++i) {
        const TrafficEntry& e = log[i];
        out << e.timeMs << " c" << e.connection << " " << OpName(e.op) << " reg=0x" << Hex(e.reg, 2)
            << " count=" << e.count << " value=0x" << Hex(e.value, 2) << "\n";
      }
      return ok();
    }
    return error("usage: log on|off|clear|show [N]");
  }
  if (cmd == "quit" && w.size() == 1) {
    std::function<void()> callback;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      callback = onQuit_;
    }
    if (!callback) return error("nothing to quit here");
    callback();
    return ok();
  }
  return error("unknown command '" + line + "' (try help)");
}

std::vector<std::string> SendControlCommand(const std::string& path, const std::string& command) {
  std::vector<std::string> lines;
  PlatStream* stream = PlatConnect(path.c_str());
  if (stream == nullptr) return lines;
  const std::string request = command + "\n";
  if (PlatStreamWriteAll(stream, request.data(), request.size())) {
    std::string buffer;
    char chunk[4096];
    bool done = false;
    while (!done) {
      const size_t n = PlatStreamReadSome(stream, chunk, sizeof chunk, 10000);
      if (n == 0) break;
      buffer.append(chunk, n);
      size_t end;
      while ((end = buffer.find('\n')) != std::string::npos) {
        lines.push_back(buffer.substr(0, end));
        buffer.erase(0, end + 1);
        if (lines.back() == "ok" || lines.back().rfind("error:", 0) == 0) {
          done = true;
          break;
        }
      }
    }
  }
  PlatStreamClose(stream);
  return lines;
}

}  // namespace tq5sim

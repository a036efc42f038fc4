// The .mqh's wrappers in C++; see mql4_kit.h.
#include "mql4_kit.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>

namespace {

constexpr unsigned kWmKeyDown = 0x0100;
constexpr unsigned kWmKeyUp = 0x0101;
constexpr unsigned kWmTimer = 0x0113;
constexpr unsigned kWmLButtonDown = 0x0201;
constexpr unsigned kWmLButtonUp = 0x0202;
constexpr unsigned kWmQuit = 0x0012;
constexpr int kVkReturn = 0x0D;
constexpr int kVkEscape = 0x1B;
constexpr int kVkSpace = 0x20;
constexpr unsigned kPmRemove = 1;

HMODULE ModuleFor(const char* module, HMODULE dll) {
  if (std::strncmp(module, "parambridge", 11) == 0) return dll;  // or parambridge64
  const std::string name = std::string(module) + ".dll";
  HMODULE loaded = GetModuleHandleA(name.c_str());
  return loaded ? loaded : LoadLibraryA(name.c_str());
}

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
  return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                : nullptr;
}

}  // namespace

bool ResolveImports(HMODULE dll, Mql4Imports& im, std::string& missing) {
  missing.clear();
#define PB_RESOLVE(module, name, ...)                                       \
  im.name = Lookup<mql4::name>(ModuleFor(#module, dll), #name);            \
  if (!im.name) missing += std::string(missing.empty() ? "" : ", ") + #module ".dll!" #name;
  PB_KIT_IMPORTS(PB_RESOLVE)
#undef PB_RESOLVE
  im.GetLastErrorCode = Lookup<host::GetLastErrorCode>(dll, "_GetLastErrorCode@0");
  if (!im.GetLastErrorCode) missing += std::string(missing.empty() ? "" : ", ") + "_GetLastErrorCode@0";
  return missing.empty();
}

// StringToCharArray(text, bytes): the bytes and the terminating NUL.
std::vector<mql4::uchar> Kit::PbText(const std::string& text) {
  std::vector<mql4::uchar> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

void Kit::PbReadTextInto(mql4::Handle address, std::string& text) const {
  text.clear();
  if (address == 0 || !PbDllsAllowed()) return;
  const int length = im_.lstrlenA(address);
  if (length > 0) {
    std::vector<mql4::uchar> bytes(static_cast<std::size_t>(length) + 1);
    im_.lstrcpynA(bytes.data(), address, length + 1);
    text.assign(bytes.begin(), bytes.begin() + length);  // CharArrayToString
    std::fill(bytes.begin(), bytes.end(), 0);            // ArrayInitialize
    (im_.RtlZeroMemory)(address, length);  // parenthesised: <windows.h> makes it a macro
  }
  if (im_.HeapFree(im_.GetProcessHeap(), 0, address)) freedBlocks_++;
}

std::string Kit::PbReadText(mql4::Handle address) const {
  std::string text;
  PbReadTextInto(address, text);
  return text;
}

void Kit::PbWipe(std::string& text) {
  std::fill(text.begin(), text.end(), '\0');  // StringFill(text, 0)
  text.clear();
}

bool Kit::PbAccountIsZero(const std::string& account) {
  return account.find_first_not_of('0') == std::string::npos;
}

bool Kit::PbAllowedHere(const char* what) const {
  if (type_ != ProgramType::kIndicator) return true;
  // The first words of each kit's Print.
#ifdef _WIN64
  constexpr char kWhy[] = " refused: indicators share their symbol's thread";
#else
  constexpr char kWhy[] = " refused: indicators run on the terminal's interface thread";
#endif
  if (!told_) Print(std::string("parambridge: ") + what + kWhy);
  told_ = true;
  return false;
}

bool Kit::PbDllsAllowed() const {
  const bool terminal = terminal_.dllsAllowed;
  if (terminal && dllsAllowed_) return true;
  const char* where = !terminal && !dllsAllowed_ ? "for the terminal and for this program"
                      : !terminal               ? "for the terminal"
                                                : "for this program";
  // The first words of each kit's Print; the tab differs.
#ifdef _WIN64
  constexpr char kTab[] = "Dependencies";
#else
  constexpr char kTab[] = "Common";
#endif
  if (!dllsTold_)
    Print(std::string("parambridge: DLL imports are off (") + where +
          "): nothing is fetched and no window is made. Tick \"Allow DLL imports\" in Tools > "
          "Options > Expert Advisors and on the program's " + kTab +
          " tab, then attach the program again.");
  dllsTold_ = true;
  return false;
}

int Kit::PbFailureKind(const std::string& description) {
  if (description == "Could not connect to server.") return PB_FAILURE_NO_CONNECTION;
  if (description == "Internal dll error") return PB_FAILURE_UNREADABLE;
  return PB_FAILURE_SERVER;
}

bool Kit::PbAccountIsValid(const std::string& account) {
  if (account.empty() || account.size() > static_cast<std::size_t>(PB_ACCOUNT_MAX_DIGITS))
    return false;
  for (const char c : account)
    if (c < '0' || c > '9') return false;
  return true;
}

bool Terminal::GlobalVariableTemp(const std::string& name) {
  std::lock_guard<std::mutex> hold(mu_);
  globals_.emplace(name, fresh);
  return true;
}

bool Terminal::GlobalVariableSetOnCondition(const std::string& name, double value, double check) {
  std::lock_guard<std::mutex> hold(mu_);
  const auto it = globals_.find(name);
  if (it == globals_.end() || it->second != check) return false;
  it->second = value;
  return true;
}

bool Terminal::GlobalVariableGet(const std::string& name, double& value) const {
  std::lock_guard<std::mutex> hold(mu_);
  const auto it = globals_.find(name);
  if (it == globals_.end()) return false;
  value = it->second;
  return true;
}

void Terminal::GlobalVariableSet(const std::string& name, double value) {
  std::lock_guard<std::mutex> hold(mu_);
  globals_[name] = value;
}

void Terminal::Comment(const std::string& text) {
  std::lock_guard<std::mutex> hold(mu_);
  chart_ = text;
}

std::string Terminal::chart() const {
  std::lock_guard<std::mutex> hold(mu_);
  return chart_;
}

std::string TimeToString(datetime t) {
  // Days since 1970.01.01 to a civil date (the proleptic Gregorian calendar).
  const long long days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
  const long long secs = t - days * 86400;
  const long long z = days + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long d = doy - (153 * mp + 2) / 5 + 1;
  const long long m = mp < 10 ? mp + 3 : mp - 9;
  const long long y = yoe + era * 400 + (m <= 2);
  char text[40];
  std::snprintf(text, sizeof text, "%04lld.%02lld.%02lld %02lld:%02lld", y, m, d, secs / 3600,
                secs % 3600 / 60);
  return text;
}

void Terminal::Print(const std::string& line) {
  std::lock_guard<std::mutex> hold(mu_);
  log_.push_back(line);
}

std::vector<std::string> Terminal::log() const {
  std::lock_guard<std::mutex> hold(mu_);
  return log_;
}

double Kit::PbClaimValue(const std::string& account, int accountType) {
  return std::strtod(account.c_str(), nullptr) * PB_ACCOUNT_TYPES + accountType + 1;
}

bool Kit::PbIsClaim(double value) {
  return value >= 1 && value <= PB_CLAIM_MAX && value == std::floor(value);
}

std::string Kit::PbClaimText(double claim) {
  char text[80];
  std::snprintf(text, sizeof text, "account %.0f (type %d)",
                std::floor((claim - 1) / PB_ACCOUNT_TYPES),
                static_cast<int>(std::fmod(claim - 1, PB_ACCOUNT_TYPES)));
  return text;
}

double Kit::PbClaim() const {
  double value = 0;
  return terminal_.GlobalVariableGet(PB_GV_CLAIM, value) ? value : 0;
}

double Kit::PbParametersAccount() const {
  const double claim = PbClaim();
  return PbIsClaim(claim) ? std::floor((claim - 1) / PB_ACCOUNT_TYPES) : 0;
}

bool Kit::PbLooksLoaded() const {
  return PbFunc101() != -1.0 || PbFunc102() != -1.0 || PbFunc103() != -1.0;
}

void Kit::PbMarkConfirmed() const {
  terminal_.GlobalVariableTemp(PB_GV_UNCONFIRMED);
  terminal_.GlobalVariableSet(PB_GV_UNCONFIRMED, 0);
}

datetime Kit::PbUnconfirmedSince() const {
  double since = 0;
  if (!terminal_.GlobalVariableGet(PB_GV_UNCONFIRMED, since) || since < 0) return 0;
  return static_cast<datetime>(since);
}

datetime Kit::PbGraceEnds() const {
  const datetime since = PbUnconfirmedSince();
  return since == 0 ? 0 : since + PB_GRACE_HOURS * 3600;
}

bool Kit::PbGraceOver() const {
  const datetime ends = PbGraceEnds();
  return ends != 0 && terminal_.now >= ends;
}

int Kit::PbDoor(const char* what, const std::string& account, int accountType) const {
  if (!PbDllsAllowed()) return PB_LOAD_DLLS_OFF;
  if (!PbAllowedHere(what)) return PB_LOAD_REFUSED;
  if (!PbAccountIsValid(account)) {
    Print("parambridge: account \"" + account + "\" refused: 1 to 15 digits only");
    return PB_LOAD_REFUSED;
  }
  if (accountType < 0 || accountType >= PB_ACCOUNT_TYPES) {
    Print("parambridge: account type " + std::to_string(accountType) + " refused: 0 to 7 only");
    return PB_LOAD_REFUSED;
  }
  const double mine = PbClaimValue(account, accountType);
  const double first = PbLooksLoaded() ? PB_CLAIM_UNRECORDED : mine;
  terminal_.GlobalVariableTemp(PB_GV_CLAIM);
  terminal_.GlobalVariableSetOnCondition(PB_GV_CLAIM, first, 0);
  const double claim = PbClaim();
  if (claim != mine) {
    std::string whose;
    if (claim == PB_CLAIM_UNRECORDED) {
      whose = "an account the kit did not record";
    } else if (PbIsClaim(claim)) {
      whose = PbClaimText(claim);
    } else {
      char held[64];
      std::snprintf(held, sizeof held, "%.0f", claim);
      Print(std::string("parambridge: the global variable ") + PB_GV_CLAIM + " holds " + held +
            ", which is no claim; nothing is fetched. Delete it (F3) or restart the terminal.");
      return PB_LOAD_REFUSED;
    }
    Print("parambridge: this terminal session's parameters are " + whose + "'s, not " +
          PbClaimText(mine) + "'s; they are not used. Restart the terminal to fetch for account " +
          account + ".");
    return PB_LOAD_OTHER_ACCOUNT;
  }
  return PB_LOAD_OK;
}

int Kit::PbLoadParameters(const std::string& account, int accountType) const {
  const int door = PbDoor("PbLoadParameters", account, accountType);
  if (door != PB_LOAD_OK) return door;
  const bool held = PbLooksLoaded();
  std::vector<mql4::uchar> bytes = PbText(account);
  if (im_.LoadParameters(bytes.data(), accountType) != 1) return PB_LOAD_FAILED;
  if (!held) PbMarkConfirmed();
  return PB_LOAD_OK;
}

int Kit::PbRefreshParameters(const std::string& account, int accountType) const {
  const int door = PbDoor("PbRefreshParameters", account, accountType);
  if (door != PB_LOAD_OK) return door;
  const bool held = PbLooksLoaded();
  std::vector<mql4::uchar> bytes = PbText(account);
  if (im_.RefreshParameters(bytes.data(), accountType) == 1) {
    PbMarkConfirmed();
    return PB_LOAD_OK;
  }
  if (!held) return PB_LOAD_FAILED;
  if (!PbLooksLoaded()) {
    PbMarkConfirmed();
    return PB_REFRESH_REVOKED;
  }
  terminal_.GlobalVariableTemp(PB_GV_UNCONFIRMED);
  terminal_.GlobalVariableSetOnCondition(PB_GV_UNCONFIRMED, static_cast<double>(terminal_.now), 0);
  return PB_REFRESH_KEPT;
}

std::string Kit::PbLastErrorDescription() const {
  if (!PbDllsAllowed()) return "";
  mql4::uchar buffer[256] = {};
  im_.GetLastErrorDescription(buffer);
  buffer[255] = 0;
  return std::string(reinterpret_cast<const char*>(buffer));
}

mql4::Handle Kit::PbMakeWindow(const std::string& title, int x, int y, int width, int height,
                               int placement) const {
  if (!PbDllsAllowed() || !PbAllowedHere("PbMakeWindow")) return 0;
  std::vector<mql4::uchar> bytes = PbText(title);
  const mql4::Handle host = im_.UIMakeWindow(bytes.data(), x, y, width, height, placement, 0);
  if (host != 0) openHost_ = host;
  return host;
}

mql4::Handle Kit::PbAddLabel(const std::string& text, int x, int y, int height, int width) const {
  if (!PbDllsAllowed()) return 0;
  std::vector<mql4::uchar> bytes = PbText(text);
  return im_.UIAddLabel(bytes.data(), x, y, height, width);
}

mql4::Handle Kit::PbAddTextBox(const std::string& text, int x, int y, int height, int width,
                               bool password, bool focus) const {
  if (!PbDllsAllowed()) return 0;
  std::vector<mql4::uchar> bytes = PbText(text);
  const mql4::Handle box =
      im_.UIAddTextBox(bytes.data(), x, y, height, width, password ? 1 : 0, focus ? 1 : 0);
  std::fill(bytes.begin(), bytes.end(), 0);  // ArrayInitialize
  return box;
}

mql4::Handle Kit::PbAddCheckbox(bool checked, const std::string& text, int x, int y,
                                int height, int width) const {
  if (!PbDllsAllowed()) return 0;
  std::vector<mql4::uchar> bytes = PbText(text);
  return im_.UIAddCheckbox(checked ? 1 : 0, bytes.data(), x, y, height, width);
}

mql4::Handle Kit::PbSetText(mql4::Handle handle, const std::string& text) const {
  if (!PbDllsAllowed()) return 0;
  std::vector<mql4::uchar> bytes = PbText(text);
  const mql4::Handle result = im_.UISetText(handle, bytes.data());
  std::fill(bytes.begin(), bytes.end(), 0);  // ArrayInitialize
  return result;
}

void Kit::PbDialogInit(PbDialog& dialog, mql4::Handle host) {
  dialog = PbDialog{};
  dialog.host = host;
}

mql4::Handle Kit::PbDialogAddButton(PbDialog& dialog, const std::string& text, int x, int y,
                                    int height, int width) const {
  if (!PbDllsAllowed()) return 0;
  std::vector<mql4::uchar> bytes = PbText(text);
  const mql4::Handle handle = im_.UIAddButton(bytes.data(), x, y, height, width);
  if (handle != 0 && dialog.buttons < PB_MAX_BUTTONS) {
    dialog.handle[dialog.buttons] = handle;
    dialog.width[dialog.buttons] = width;
    dialog.height[dialog.buttons] = height;
    dialog.buttons++;
  }
  return handle;
}

bool Kit::PbDialogSetTimer(PbDialog& dialog, mql4::Id id, int seconds) const {
  if (!PbDllsAllowed() || im_.UIAddTimer(id, seconds) == 0) return false;
  dialog.timer = id;
  return true;
}

namespace {
int ButtonIndex(const PbDialog& dialog, mql4::Handle handle) {
  for (int i = 0; i < dialog.buttons; i++)
    if (handle != 0 && dialog.handle[i] == handle) return i;
  return -1;
}
}  // namespace

int Kit::PbDialogEvent(PbDialog& dialog, const mql4::PbMsg& msg) const {
  if (msg.message == kWmTimer && dialog.timer != 0 &&
      static_cast<mql4::Id>(msg.wParam) == dialog.timer && msg.hwnd == dialog.host)
    return PB_DIALOG_TICK;
  if (msg.message == kWmKeyDown && msg.wParam == kVkReturn) {
    if (!PbDllsAllowed()) return PB_DIALOG_NONE;
    const mql4::Handle focus = im_.GetFocus();
    if (ButtonIndex(dialog, focus) >= 0) {
      dialog.button = focus;
      return PB_DIALOG_BUTTON;
    }
    return PB_DIALOG_ENTER;
  }
  if (msg.message == kWmKeyDown && msg.wParam == kVkEscape) return PB_DIALOG_ESCAPE;
  const int i = ButtonIndex(dialog, msg.hwnd);
  if (msg.message == kWmLButtonDown) {
    dialog.pressed = i >= 0 ? msg.hwnd : 0;
    return PB_DIALOG_NONE;
  }
  if (i < 0) {
    if (msg.message == kWmLButtonUp) dialog.pressed = 0;
    return PB_DIALOG_NONE;
  }
  if (msg.message == kWmKeyUp && msg.wParam == kVkSpace) {
    dialog.button = msg.hwnd;
    return PB_DIALOG_BUTTON;
  }
  if (msg.message == kWmLButtonUp) {
    const bool pressedHere = dialog.pressed == msg.hwnd;
    dialog.pressed = 0;
    int x = static_cast<int>(msg.lParam & 0xFFFF);
    int y = static_cast<int>((msg.lParam >> 16) & 0xFFFF);
    if (x >= 0x8000) x -= 0x10000;
    if (y >= 0x8000) y -= 0x10000;
    if (pressedHere && x >= 0 && y >= 0 && x < dialog.width[i] && y < dialog.height[i]) {
      dialog.button = msg.hwnd;
      return PB_DIALOG_BUTTON;
    }
  }
  return PB_DIALOG_NONE;
}

int Kit::PbRunDialog(PbDialog& dialog, DWORD deadlineTick) const {
  if (!PbDllsAllowed() || !PbAllowedHere("PbRunDialog")) return PB_DIALOG_STOPPED;
  mql4::PbMsg msg = {};
  while (static_cast<LONG>(GetTickCount() - deadlineTick) < 0) {  // !IsStopped()
    if (im_.IsWindow(dialog.host) == 0) return PB_DIALOG_CLOSED;
    if (im_.PeekMessageA(&msg, dialog.host, 0, 0, kPmRemove) == 0) {
      Sleep(20);
      continue;
    }
    const int what = PbDialogEvent(dialog, msg);
    if (im_.IsDialogMessageA(dialog.host, &msg) == 0) {
      im_.TranslateMessage(&msg);
      im_.DispatchMessageA(&msg);
    }
    if (what != PB_DIALOG_NONE) return what;
  }
  return PB_DIALOG_STOPPED;
}

void Kit::PbFinish() const {
  if (!PbDllsAllowed()) return;
  im_.UIFinish();
  openHost_ = 0;
  mql4::PbMsg msg = {};
  im_.PeekMessageA(&msg, 0, kWmQuit, kWmQuit, kPmRemove);
}

bool Kit::PbDialogClose() const {
  if (openHost_ == 0 || !PbDllsAllowed()) return false;
  const bool open = im_.IsWindow(openHost_) != 0;
  if (open) PbFinish();
  openHost_ = 0;
  return open;
}

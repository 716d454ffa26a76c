#include "usbemu.h"

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <pty.h>
#include <sys/syscall.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

namespace qwemu {
namespace {

// One submitted URB: the client's URB record and its data buffer, resolved by umockdev.
struct Urb {
  UMockdevIoctlData* urb = nullptr;
  UMockdevIoctlData* buffer = nullptr;

  ~Urb() {
    if (buffer != nullptr) g_object_unref(buffer);
    if (urb != nullptr) g_object_unref(urb);
  }
  usbdevfs_urb* record() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
};

std::string Hex16(uint16_t v) {  // little-endian, as in descriptors
  char text[8];
  snprintf(text, sizeof text, "%02x%02x", v & 0xFF, v >> 8);
  return text;
}

std::string Descriptors(const UsbDeviceConfig& c) {
  // Device, configuration (one interface), vendor interface, bulk OUT 0x01, bulk IN 0x81.
  return "12010002000000" "40" + Hex16(c.vendorId) + Hex16(c.productId) + "0001" "010203" "01" +
         "09022000010100" "8032" + "0904000002ff881000" + "07050102" + Hex16(c.maxPacket) +
         "00" + "07058102" + Hex16(c.maxPacket) + "00";
}

class Emulator;

class Device final : public UsbDevice {
 public:
  Device(Emulator* owner, int slot) : owner_(owner), slot_(slot) {}
  ~Device() override;

  bool Plug(const UsbDeviceConfig& config, std::string* error);

  void SendIn(const uint8_t* data, size_t length) override;
  std::vector<uint8_t> TakeOut() override;
  std::vector<uint8_t> WaitOut(size_t count, int timeoutMs) override;
  std::vector<size_t> OutTransferSizes() override;
  void SetOutHandler(std::function<void(const uint8_t*, size_t)> handler) override;
  void InjectError(Direction direction, int count) override;
  void InjectStall(Direction direction, int count) override;
  void InjectTimeout(Direction direction, int count) override;
  bool Unplug() override;
  bool Replug(const UsbDeviceConfig& config, std::string* error) override;
  bool Present() override;
  UsbCounters Counters() override;
  UsbDeviceConfig Config() override;

  // Handles one ioctl on a node of this device; called with the emulator's lock held.
  // Bytes for the OUT handler are returned in *forHandler.
  void Ioctl(UMockdevIoctlClient* client, bool current, std::vector<uint8_t>* forHandler);
  const std::string& Node() const { return node_; }
  const std::vector<std::string>& OldNodes() const { return oldNodes_; }
  std::function<void(const uint8_t*, size_t)> HandlerCopy() const { return handler_; }
  bool OwnsNode(const std::string& node) const;

 private:
  struct Faults {
    int error = 0, stall = 0, timeout = 0;
  };

  void Finish(std::unique_ptr<Urb> u, int status, int actual);
  void FeedIn();
  void SyncPoll();
  void SetFlow(bool on);
  std::string Control(const uint8_t* setup, uint8_t* data, int room, int* actual);
  void UnplugLocked();
  bool TakeFault(Faults& faults, int Faults::*which);

  Emulator* owner_;
  int slot_;
  UsbDeviceConfig config_;
  std::string sysPath_;                       // sysfs path of the current device
  std::string node_;                          // /dev/bus/usb/001/NNN of the current device
  std::vector<std::string> oldNodes_;         // nodes of earlier enumerations
  bool present_ = false;
  int master_ = -1, slave_ = -1;              // pty behind the node (poll readiness)
  bool writable_ = false;
  std::deque<std::unique_ptr<Urb>> done_;     // completed, waiting to be reaped
  std::deque<std::unique_ptr<Urb>> inWait_;   // IN transfers waiting for bytes
  std::deque<std::unique_ptr<Urb>> parked_;   // transfers that will only end by a discard
  std::deque<uint8_t> inBytes_;
  std::vector<uint8_t> outBytes_;
  std::vector<size_t> outSizes_;
  std::function<void(const uint8_t*, size_t)> handler_;
  Faults in_, out_;
  UsbCounters counters_;
  std::condition_variable outArrived_;
};

class Emulator final : public UsbEmulator {
 public:
  ~Emulator() override;
  bool Init(std::string* error);
  UsbDevice* AddDevice(const UsbDeviceConfig& config, std::string* error) override;
  int AddPtyNode(const std::string& devPath, std::string* error) override;

  // Guards every device's state. Taken by umockdev's thread for each ioctl and by the
  // test's threads for every UsbDevice call; handlers run without it.
  std::mutex mutex;
  UMockdevTestbed* testbed = nullptr;
  UMockdevIoctlBase* handler = nullptr;
  int nextDevnum = 2;

 private:
  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
  std::vector<std::unique_ptr<Device>> devices_;
  std::vector<int> ptyFds_;
};

// ---- Device ----

Device::~Device() {
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

bool Device::OwnsNode(const std::string& node) const {
  if (node == node_) return true;
  for (const auto& old : oldNodes_) {
    if (old == node) return true;
  }
  return false;
}

// The node is a symlink to a pty slave. A client polls it for POLLOUT, which means "a URB
// can be reaped"; stopping the pty's output turns POLLOUT off. The raw system call keeps
// umockdev's preload from taking this ioctl for an emulated one.
void Device::SetFlow(bool on) {
  if (slave_ >= 0) syscall(SYS_ioctl, slave_, TCXONC, on ? TCOON : TCOOFF);
}

void Device::SyncPoll() {
  bool want = !done_.empty();
  if (want != writable_) {
    SetFlow(want);
    writable_ = want;
  }
}

void Device::Finish(std::unique_ptr<Urb> u, int status, int actual) {
  u->record()->status = status;
  u->record()->actual_length = actual;
  done_.push_back(std::move(u));
  SyncPoll();
}

void Device::FeedIn() {
  while (!inWait_.empty() && !inBytes_.empty()) {
    std::unique_ptr<Urb> u = std::move(inWait_.front());
    inWait_.pop_front();
    size_t room = u->buffer ? static_cast<size_t>(u->buffer->data_len) : 0;
    size_t n = std::min(room, inBytes_.size());
    for (size_t i = 0; i < n; i++) {
      u->buffer->data[i] = inBytes_.front();
      inBytes_.pop_front();
    }
    counters_.inTransfers++;
    Finish(std::move(u), 0, static_cast<int>(n));
  }
}

bool Device::TakeFault(Faults& faults, int Faults::*which) {
  if (faults.*which > 0) {
    faults.*which -= 1;
    return true;
  }
  return false;
}

std::string Device::Control(const uint8_t* setup, uint8_t* data, int room, int* actual) {
  uint8_t type = setup[0], request = setup[1];
  uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
  if (type != 0x80 || request != 6 || (value >> 8) != 3) {
    return "stall";
  }
  uint8_t d[255];
  int n;
  int index = value & 0xFF;
  if (index == 0) {
    d[2] = 0x09;  // English (United States)
    d[3] = 0x04;
    n = 4;
  } else if (index <= 3) {
    const std::string& s =
        index == 1 ? config_.manufacturer : index == 2 ? config_.product : config_.serial;
    n = 2;
    for (char ch : s) {
      if (n > 252) break;
      d[n++] = static_cast<uint8_t>(ch);
      d[n++] = 0;
    }
  } else {
    return "stall";
  }
  d[0] = static_cast<uint8_t>(n);
  d[1] = 3;
  n = std::min(n, room);
  memcpy(data, d, static_cast<size_t>(n));
  *actual = n;
  return "";
}

void Device::Ioctl(UMockdevIoctlClient* client, bool current, std::vector<uint8_t>* forHandler) {
  gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  GError* error = nullptr;
  UMockdevIoctlData* d = nullptr;
  if (_IOC_SIZE(request) != 0 && request != USBDEVFS_DISCARDURB) {
    d = umockdev_ioctl_data_resolve(arg, 0, _IOC_SIZE(request), &error);
    if (d == nullptr) {
      g_clear_error(&error);
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
  }
  auto complete = [&](long result, int err) {
    umockdev_ioctl_client_complete(client, result, err);
    if (d != nullptr) g_object_unref(d);
  };

  bool reap = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
  if ((!current || !present_) && !(reap && !done_.empty())) {
    complete(-1, ENODEV);
    return;
  }
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
      *reinterpret_cast<uint32_t*>(d->data) = USBDEVFS_CAP_BULK_CONTINUATION |
                                              USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                              USBDEVFS_CAP_ZERO_PACKET |
                                              USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
      complete(0, 0);
      return;
    case USBDEVFS_CLAIMINTERFACE:
      counters_.claims++;
      complete(config_.claimErrno ? -1 : 0, config_.claimErrno);
      return;
    case USBDEVFS_CLEAR_HALT:
      counters_.clearHalts++;
      complete(0, 0);
      return;
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
      complete(0, 0);
      return;
    case USBDEVFS_GETDRIVER:
      complete(-1, ENODATA);
      return;
    case USBDEVFS_SUBMITURB: {
      auto u = std::make_unique<Urb>();
      u->urb = static_cast<UMockdevIoctlData*>(g_object_ref(d));
      usbdevfs_urb* urb = u->record();
      if (urb->buffer_length > 0) {
        u->buffer = umockdev_ioctl_data_resolve(d, offsetof(usbdevfs_urb, buffer),
                                                static_cast<gsize>(urb->buffer_length), &error);
        if (u->buffer == nullptr) {
          g_clear_error(&error);
          complete(-1, EFAULT);
          return;
        }
      }
      if (urb->type == USBDEVFS_URB_TYPE_CONTROL && u->buffer != nullptr &&
          urb->buffer_length >= 8) {
        int actual = 0;
        bool stall = !Control(u->buffer->data, u->buffer->data + 8, urb->buffer_length - 8,
                              &actual).empty();
        Finish(std::move(u), stall ? -EPIPE : 0, stall ? 0 : actual);
      } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == 0x01) {
        if (TakeFault(out_, &Faults::error)) {
          Finish(std::move(u), -EPROTO, 0);
        } else if (TakeFault(out_, &Faults::stall)) {
          Finish(std::move(u), -EPIPE, 0);
        } else if (TakeFault(out_, &Faults::timeout)) {
          parked_.push_back(std::move(u));
        } else {
          const uint8_t* bytes = u->buffer ? u->buffer->data : nullptr;
          size_t n = static_cast<size_t>(urb->buffer_length);
          if (handler_) {
            forHandler->assign(bytes, bytes + n);
          } else {
            outBytes_.insert(outBytes_.end(), bytes, bytes + n);
            outArrived_.notify_all();
          }
          outSizes_.push_back(n);
          counters_.outTransfers++;
          Finish(std::move(u), 0, static_cast<int>(n));
        }
      } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == 0x81) {
        if (TakeFault(in_, &Faults::error)) {
          Finish(std::move(u), -EPROTO, 0);
        } else if (TakeFault(in_, &Faults::stall)) {
          Finish(std::move(u), -EPIPE, 0);
        } else if (TakeFault(in_, &Faults::timeout)) {
          parked_.push_back(std::move(u));
        } else {
          inWait_.push_back(std::move(u));
          FeedIn();
        }
      } else {
        complete(-1, EINVAL);
        return;
      }
      complete(0, 0);
      return;
    }
    case USBDEVFS_DISCARDURB: {
      // The argument is the client's URB address itself.
      gulong address = *reinterpret_cast<gulong*>(arg->data);
      for (auto* queue : {&inWait_, &parked_}) {
        for (auto it = queue->begin(); it != queue->end(); ++it) {
          if ((*it)->urb->client_addr == address) {
            std::unique_ptr<Urb> u = std::move(*it);
            queue->erase(it);
            counters_.discarded++;
            Finish(std::move(u), -ENOENT, 0);
            complete(0, 0);
            return;
          }
        }
      }
      complete(-1, EINVAL);
      return;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      if (done_.empty()) {
        complete(-1, EAGAIN);
        return;
      }
      std::unique_ptr<Urb> u = std::move(done_.front());
      done_.pop_front();
      SyncPoll();
      // Hands the client its own URB pointer back; umockdev copies status, length and
      // data into the client's memory.
      umockdev_ioctl_data_set_ptr(d, 0, u->urb);
      complete(0, 0);
      return;
    }
    default:
      complete(-1, ENOTTY);
      return;
  }
}

bool Device::Plug(const UsbDeviceConfig& config, std::string* error) {
  // Called with the emulator's lock held.
  config_ = config;
  int devnum = owner_->nextDevnum++;
  char text[64];
  snprintf(text, sizeof text, "/devices/pci0000:00/0000:00:14.0/usb1/1-%d", slot_);
  sysPath_ = std::string("/sys") + text;
  std::string sysRel = text;
  snprintf(text, sizeof text, "%03d", devnum);
  std::string num = text;
  node_ = "/dev/bus/usb/001/" + num;
  char ids[32];
  snprintf(ids, sizeof ids, "%04x", config.vendorId);
  std::string vendor = ids;
  snprintf(ids, sizeof ids, "%04x", config.productId);
  std::string productText = ids;
  snprintf(ids, sizeof ids, "%d", slot_);
  std::string port = ids;

  std::string record = "P: " + sysRel + "\n" + "N: bus/usb/001/" + num + "\n" +
                       "E: DEVNAME=" + node_ + "\n" + "E: DEVTYPE=usb_device\n" +
                       "E: SUBSYSTEM=usb\n" + "E: BUSNUM=001\n" + "E: DEVNUM=" + num + "\n" +
                       "E: PRODUCT=" + vendor + "/" + productText + "/100\n" +
                       "A: busnum=1\n" + "A: devnum=" + std::to_string(devnum) + "\n" +
                       "A: speed=" + (config.maxPacket >= 512 ? "480" : "12") + "\n" +
                       "A: idVendor=" + vendor + "\n" + "A: idProduct=" + productText + "\n" +
                       "A: serial=" + config.serial + "\n" + "A: bConfigurationValue=1\n" +
                       "A: bNumConfigurations=1\n" + "A: devpath=" + port + "\n" +
                       "H: descriptors=" + Descriptors(config) + "\n";
  GError* gerror = nullptr;
  if (!umockdev_testbed_add_from_string(owner_->testbed, record.c_str(), &gerror)) {
    *error = std::string("cannot add the device: ") + (gerror ? gerror->message : "?");
    g_clear_error(&gerror);
    return false;
  }
  gchar* root = umockdev_testbed_get_root_dir(owner_->testbed);
  std::string file = std::string(root) + node_;
  g_free(root);
  char ptyName[256];
  if (openpty(&master_, &slave_, ptyName, nullptr, nullptr) != 0) {
    *error = std::string("openpty: ") + strerror(errno);
    return false;
  }
  writable_ = true;
  SetFlow(false);
  writable_ = false;
  if (unlink(file.c_str()) != 0 || symlink(ptyName, file.c_str()) != 0) {
    *error = "cannot point " + file + " at the pty: " + strerror(errno);
    return false;
  }
  if (!umockdev_testbed_attach_ioctl(owner_->testbed, node_.c_str(), owner_->handler, &gerror)) {
    *error = std::string("cannot attach the ioctl handler: ") + (gerror ? gerror->message : "?");
    g_clear_error(&gerror);
    return false;
  }
  present_ = true;
  umockdev_testbed_uevent(owner_->testbed, sysPath_.c_str(), "add");
  return true;
}

void Device::UnplugLocked() {
  present_ = false;
  // Pending transfers end as they do when a device goes away.
  for (auto* queue : {&inWait_, &parked_}) {
    while (!queue->empty()) {
      std::unique_ptr<Urb> u = std::move(queue->front());
      queue->pop_front();
      Finish(std::move(u), -ENODEV, 0);
    }
  }
  // Hanging up the pty makes the client's poll report an error on the node.
  if (master_ >= 0) {
    close(master_);
    master_ = -1;
  }
  umockdev_testbed_uevent(owner_->testbed, sysPath_.c_str(), "remove");
  umockdev_testbed_remove_device(owner_->testbed, sysPath_.c_str());
  oldNodes_.push_back(node_);
  inBytes_.clear();
  in_ = Faults();
  out_ = Faults();
}

bool Device::Unplug() {
  std::lock_guard<std::mutex> lock(owner_->mutex);
  if (!present_) return false;
  UnplugLocked();
  return true;
}

bool Device::Replug(const UsbDeviceConfig& config, std::string* error) {
  std::lock_guard<std::mutex> lock(owner_->mutex);
  if (present_) UnplugLocked();
  // The old slave stays open until the device object goes: URBs of the old node may
  // still wait to be reaped, and their poll readiness lives on it.
  std::string ignored;
  return Plug(config, error ? error : &ignored);
}

bool Device::Present() {
  std::lock_guard<std::mutex> lock(owner_->mutex);
  return present_;
}

void Device::SendIn(const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> lock(owner_->mutex);
  inBytes_.insert(inBytes_.end(), data, data + length);
  FeedIn();
}

std::vector<uint8_t> Device::TakeOut() {
  std::lock_guard<std::mutex> lock(owner_->mutex);
  std::vector<uint8_t> bytes;
  bytes.swap(outBytes_);
  return bytes;
}

std::vector<uint8_t> Device::WaitOut(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(owner_->mutex);
  outArrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return outBytes_.size() >= count; });
  std::vector<uint8_t> bytes;
  bytes.swap(outBytes_);
  return bytes;
}

std::vector<size_t> Device::OutTransferSizes() {
  std::lock_guard<std::mutex> lock(owner_->mutex);
  return outSizes_;
}

void Device::SetOutHandler(std::function<void(const uint8_t*, size_t)> handler) {
  std::lock_guard<std::mutex> lock(owner_->mutex);
  handler_ = std::move(handler);
}

void Device::InjectError(Direction direction, int count) {
  std::lock_guard<std::mutex> lock(owner_->mutex);
  (direction == Direction::In ? in_ : out_).error += count;
}

void Device::InjectStall(Direction direction, int count) {
  std::lock_guard<std::mutex> lock(owner_->mutex);
  (direction == Direction::In ? in_ : out_).stall += count;
}

void Device::InjectTimeout(Direction direction, int count) {
  std::lock_guard<std::mutex> lock(owner_->mutex);
  (direction == Direction::In ? in_ : out_).timeout += count;
}

UsbCounters Device::Counters() {
  std::lock_guard<std::mutex> lock(owner_->mutex);
  return counters_;
}

UsbDeviceConfig Device::Config() {
  std::lock_guard<std::mutex> lock(owner_->mutex);
  return config_;
}

// ---- Emulator ----

Emulator::~Emulator() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& device : devices_) {
      umockdev_testbed_detach_ioctl(testbed, device->Node().c_str(), nullptr);
      for (const auto& old : device->OldNodes()) {
        umockdev_testbed_detach_ioctl(testbed, old.c_str(), nullptr);
      }
    }
  }
  devices_.clear();
  for (int fd : ptyFds_) close(fd);
  if (handler != nullptr) g_object_unref(handler);
  if (testbed != nullptr) g_object_unref(testbed);
}

gboolean Emulator::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  auto* emulator = static_cast<Emulator*>(self);
  std::string node = umockdev_ioctl_client_get_devnode(client);
  std::function<void(const uint8_t*, size_t)> handler;
  std::vector<uint8_t> bytes;
  {
    std::lock_guard<std::mutex> lock(emulator->mutex);
    Device* device = nullptr;
    for (auto& d : emulator->devices_) {
      if (d->OwnsNode(node)) device = d.get();
    }
    if (device == nullptr) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
    bytes.clear();
    device->Ioctl(client, node == device->Node(), &bytes);
    if (!bytes.empty()) {
      handler = device->HandlerCopy();
    }
  }
  if (handler) handler(bytes.data(), bytes.size());
  return TRUE;
}

bool Emulator::Init(std::string* error) {
  testbed = umockdev_testbed_new();
  if (testbed == nullptr) {
    *error = "cannot create the umockdev test bed";
    return false;
  }
  if (!umockdev_in_mock_environment()) {
    *error = "umockdev's preload library is not loaded (run with "
             "LD_PRELOAD=libumockdev-preload.so.0 or under umockdev-wrapper)";
    return false;
  }
  handler = umockdev_ioctl_base_new();
  g_signal_connect(handler, "handle-ioctl", G_CALLBACK(OnIoctl), this);
  return true;
}

UsbDevice* Emulator::AddDevice(const UsbDeviceConfig& config, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  std::lock_guard<std::mutex> lock(mutex);
  auto device = std::make_unique<Device>(this, static_cast<int>(devices_.size()) + 1);
  if (!device->Plug(config, error)) {
    return nullptr;
  }
  devices_.push_back(std::move(device));
  return devices_.back().get();
}

int Emulator::AddPtyNode(const std::string& devPath, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  std::lock_guard<std::mutex> lock(mutex);
  int master = -1, slave = -1;
  char ptyName[256];
  termios raw = {};
  cfmakeraw(&raw);
  if (openpty(&master, &slave, ptyName, &raw, nullptr) != 0) {
    *error = std::string("openpty: ") + strerror(errno);
    return -1;
  }
  gchar* root = umockdev_testbed_get_root_dir(testbed);
  std::string file = std::string(root) + devPath;
  g_free(root);
  std::string dir = file.substr(0, file.rfind('/'));
  g_mkdir_with_parents(dir.c_str(), 0755);
  if (symlink(ptyName, file.c_str()) != 0) {
    *error = "cannot create " + file + ": " + strerror(errno);
    close(master);
    close(slave);
    return -1;
  }
  // The slave stays open here so the pty keeps its settings while nobody else has it open.
  ptyFds_.push_back(master);
  ptyFds_.push_back(slave);
  return master;
}

}  // namespace

std::unique_ptr<UsbEmulator> UsbEmulator::Create(std::string* error) {
  std::string ignored;
  auto emulator = std::make_unique<Emulator>();
  if (!emulator->Init(error ? error : &ignored)) {
    return nullptr;
  }
  return emulator;
}

}  // namespace qwemu

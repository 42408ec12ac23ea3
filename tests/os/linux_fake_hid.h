// A scripted HID bus for the Linux system: nodes with chosen USB numbers,
// feature-report handlers and open failures.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "os/linux/hid_api.h"

namespace os::hidraw::fake {

struct Node {
  HidDeviceInfo info;
  int openError = 0;  // errno that Open fails with; 0: it opens
  int openNow = 0;    // devices of this node open now
  std::vector<std::vector<std::uint8_t>> sent;  // reports as sent
  // Defaults: a send succeeds with its length; a read fails with EIO.
  std::function<HidResult(const std::uint8_t*, std::size_t)> onSend;
  std::function<HidResult(std::uint8_t*, std::size_t)> onGet;
};

class Device final : public HidDevice {
 public:
  explicit Device(std::shared_ptr<Node> node) : node_(std::move(node)) {
    ++node_->openNow;
  }
  ~Device() override { --node_->openNow; }

  HidResult SendFeatureReport(const std::uint8_t* data,
                              std::size_t length) override {
    node_->sent.emplace_back(data, data + length);
    if (node_->onSend) return node_->onSend(data, length);
    return {static_cast<int>(length), 0};
  }
  HidResult GetFeatureReport(std::uint8_t* data, std::size_t length) override {
    if (node_->onGet) return node_->onGet(data, length);
    return {-1, EIO};
  }

 private:
  std::shared_ptr<Node> node_;
};

class Bus final : public HidApi {
 public:
  std::shared_ptr<Node> Add(const std::string& path, std::uint16_t vendorId,
                            std::uint16_t productId,
                            std::uint16_t releaseNumber) {
    auto node = std::make_shared<Node>();
    node->info = {path, vendorId, productId, releaseNumber};
    nodes.push_back(node);
    return node;
  }

  std::vector<HidDeviceInfo> Enumerate() override {
    ++enumerations;
    std::vector<HidDeviceInfo> found;
    for (const auto& node : nodes) found.push_back(node->info);
    return found;
  }

  std::unique_ptr<HidDevice> Open(const std::string& path,
                                  int* error) override {
    ++opens;
    for (const auto& node : nodes) {
      if (node->info.path != path) continue;
      *error = node->openError;
      if (node->openError != 0) return nullptr;
      return std::make_unique<Device>(node);
    }
    *error = ENOENT;
    return nullptr;
  }

  std::vector<std::shared_ptr<Node>> nodes;
  int enumerations = 0;
  int opens = 0;
};

// Makes `node` answer as a token in HID mode does: a control request in
// report 0x80 is answered in report 1 on the next read; the ATR request
// (request code 2) with `atr`, every other request with no data.
inline void ActAsToken(Node& node, std::vector<std::uint8_t> atr) {
  auto pending = std::make_shared<std::vector<std::uint8_t>>();
  node.onSend = [pending, atr](const std::uint8_t* data, std::size_t length) {
    if (length != 258 || data[0] != 0x80) return HidResult{-1, EPIPE};
    *pending = data[2] == 2 ? atr : std::vector<std::uint8_t>{};
    return HidResult{static_cast<int>(length), 0};
  };
  node.onGet = [pending](std::uint8_t* data, std::size_t length) {
    if (length != 258 || data[0] != 1) return HidResult{-1, EPIPE};
    std::memset(data + 1, 0, length - 1);
    data[1] = static_cast<std::uint8_t>(pending->size());
    std::memcpy(data + 2, pending->data(), pending->size());
    return HidResult{static_cast<int>(length), 0};
  };
}

}  // namespace os::hidraw::fake

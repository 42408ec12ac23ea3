// The snapshot device sets shared by the simulated machine and the Linux
// system: the record checks and the paths that the device layer's walk does
// not take (a device's own interfaces, the device record filled by the
// detail call, null records, a device without hardware ids).
#include "os/portable/device_sets.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace os {
namespace {

constexpr GUID kOtherClass = {0x171638F7,
                              0x1EAD,
                              0x4873,
                              {0xBA, 0x98, 0xC9, 0x66, 0xAB, 0xCF, 0x01, 0x42}};
constexpr GUID kUsbSetupClass = {
    0x36FC9E60,
    0xC465,
    0x11CF,
    {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

HDEVINFO Handle(std::uintptr_t value) {
  return reinterpret_cast<HDEVINFO>(value);
}

class DeviceSetTableTest : public ::testing::Test {
 protected:
  DeviceSetTableTest() {
    table_.Add(set_, kHidInterfaceClassGuid,
               {{"/dev/first",
                 MultiString({"HID\\A&REV_1", "HID\\A"}),
                 kHidSetupClassGuid,
                 41,
                 {}},
                {"/dev/second", "", kUsbSetupClass, 42, {}}});
  }

  SP_DEVINFO_DATA Info(ULONG_PTR reserved) {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    info.Reserved = reserved;
    return info;
  }
  SP_DEVICE_INTERFACE_DATA Interface(ULONG_PTR reserved = 0) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    data.Reserved = reserved;
    return data;
  }

  DeviceSetTable table_;
  const HDEVINFO set_ = Handle(0x104);
};

TEST(MultiStringTest, EndsEachTextAndTheList) {
  EXPECT_EQ(MultiString({"ab", "c"}), std::string("ab\0c\0\0", 6));
  EXPECT_EQ(MultiString({}), std::string(1, '\0'));
}

TEST_F(DeviceSetTableTest, UnknownHandlesAndRemoval) {
  SP_DEVINFO_DATA info = Info(0);
  EXPECT_EQ(table_.EnumDeviceInfo(Handle(0x108), 0, &info),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(table_.Count(), 1u);
  EXPECT_FALSE(table_.Remove(Handle(0x108)));
  EXPECT_TRUE(table_.Remove(set_));
  EXPECT_FALSE(table_.Remove(set_));
  EXPECT_EQ(table_.Count(), 0u);
  EXPECT_EQ(table_.EnumDeviceInfo(set_, 0, &info), ERROR_INVALID_HANDLE);
}

TEST_F(DeviceSetTableTest, NullRecordsAreInvalidParameters) {
  const GUID hid = kHidInterfaceClassGuid;
  SP_DEVICE_INTERFACE_DATA data = Interface();
  EXPECT_EQ(table_.EnumDeviceInfo(set_, 0, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(table_.EnumDeviceInterfaces(set_, nullptr, &hid, 0, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(table_.EnumDeviceInterfaces(set_, nullptr, nullptr, 0, &data),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(table_.GetDeviceRegistryProperty(set_, nullptr, SPDRP_HARDWAREID,
                                             nullptr, nullptr, 0, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(table_.GetDeviceInterfaceDetail(set_, nullptr, nullptr, 0, nullptr,
                                            nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(DeviceSetTableTest, DeviceInfoReportsTheRecordOfEachDevice) {
  SP_DEVINFO_DATA info = Info(0);
  ASSERT_EQ(table_.EnumDeviceInfo(set_, 1, &info), 0u);
  EXPECT_TRUE(SameGuid(info.ClassGuid, kUsbSetupClass));
  EXPECT_EQ(info.DevInst, 42u);
  EXPECT_EQ(info.Reserved, 2u);
  EXPECT_EQ(table_.EnumDeviceInfo(set_, 2, &info), ERROR_NO_MORE_ITEMS);
}

TEST_F(DeviceSetTableTest, InterfacesOfOneDevice) {
  const GUID hid = kHidInterfaceClassGuid;
  SP_DEVICE_INTERFACE_DATA data = Interface();
  SP_DEVINFO_DATA info = Info(2);
  ASSERT_EQ(table_.EnumDeviceInterfaces(set_, &info, &hid, 0, &data), 0u);
  EXPECT_EQ(data.Reserved, 2u);
  EXPECT_TRUE(SameGuid(data.InterfaceClassGuid, hid));
  EXPECT_EQ(data.Flags, 1u);  // active
  EXPECT_EQ(table_.EnumDeviceInterfaces(set_, &info, &hid, 1, &data),
            ERROR_NO_MORE_ITEMS);
  // Another class has no interface of the set's devices.
  EXPECT_EQ(table_.EnumDeviceInterfaces(set_, &info, &kOtherClass, 0, &data),
            ERROR_NO_MORE_ITEMS);

  info.Reserved = 3;  // names no device of the set
  EXPECT_EQ(table_.EnumDeviceInterfaces(set_, &info, &hid, 0, &data),
            ERROR_INVALID_PARAMETER);
  info = Info(1);
  info.cbSize = sizeof info + 1;
  EXPECT_EQ(table_.EnumDeviceInterfaces(set_, &info, &hid, 0, &data),
            ERROR_INVALID_USER_BUFFER);
}

TEST_F(DeviceSetTableTest, AFailingIndexFailsAfterTheRecordChecks) {
  const GUID hid = kHidInterfaceClassGuid;
  SP_DEVICE_INTERFACE_DATA data = Interface();
  EXPECT_EQ(table_.EnumDeviceInterfaces(set_, nullptr, &hid, 1, &data, 1),
            ERROR_GEN_FAILURE);
  EXPECT_EQ(table_.EnumDeviceInterfaces(set_, nullptr, &hid, 0, &data, 1), 0u);
  data.cbSize = 1;
  EXPECT_EQ(table_.EnumDeviceInterfaces(set_, nullptr, &hid, 1, &data, 1),
            ERROR_INVALID_USER_BUFFER);
}

TEST_F(DeviceSetTableTest, HardwareIdsAndTheirSizeQuery) {
  SP_DEVINFO_DATA info = Info(1);
  const std::string ids = MultiString({"HID\\A&REV_1", "HID\\A"});
  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(table_.GetDeviceRegistryProperty(set_, &info, SPDRP_HARDWAREID,
                                             &type, nullptr, 0, &size),
            ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(type, 7u);  // REG_MULTI_SZ
  EXPECT_EQ(size, ids.size());
  EXPECT_EQ(table_.GetDeviceRegistryProperty(set_, &info, SPDRP_HARDWAREID,
                                             nullptr, nullptr, 4, nullptr),
            ERROR_INVALID_USER_BUFFER);
  std::vector<BYTE> buffer(size + 1, 0xEE);
  ASSERT_EQ(
      table_.GetDeviceRegistryProperty(set_, &info, SPDRP_HARDWAREID, nullptr,
                                       buffer.data(), size + 1, nullptr),
      0u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + size), ids);
  EXPECT_EQ(buffer[size], 0xEE);

  // A device without hardware ids has no such property.
  info = Info(2);
  size = 0;
  EXPECT_EQ(table_.GetDeviceRegistryProperty(
                set_, &info, SPDRP_HARDWAREID, nullptr, buffer.data(),
                static_cast<DWORD>(buffer.size()), &size),
            ERROR_INVALID_DATA);
  EXPECT_EQ(size, 0u);
  info.Reserved = 0;
  EXPECT_EQ(
      table_.GetDeviceRegistryProperty(set_, &info, SPDRP_HARDWAREID, nullptr,
                                       buffer.data(), 1, nullptr),
      ERROR_INVALID_PARAMETER);
}

TEST_F(DeviceSetTableTest, DetailChecksItsBufferAndFillsTheDeviceRecord) {
  constexpr DWORD kPathOffset =
      offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  SP_DEVICE_INTERFACE_DATA data = Interface(2);
  std::uint64_t storage[8] = {};
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);

  DWORD needed = 0;
  EXPECT_EQ(table_.GetDeviceInterfaceDetail(set_, &data, nullptr, 8, &needed,
                                            nullptr),
            ERROR_INVALID_USER_BUFFER);
  EXPECT_EQ(needed, kPathOffset + sizeof "/dev/second");
  // A record too small to hold even an empty path is malformed.
  EXPECT_EQ(table_.GetDeviceInterfaceDetail(set_, &data, detail, kPathOffset,
                                            nullptr, nullptr),
            ERROR_INVALID_USER_BUFFER);
  EXPECT_EQ(table_.GetDeviceInterfaceDetail(set_, &data, detail, needed - 1,
                                            nullptr, nullptr),
            ERROR_INSUFFICIENT_BUFFER);

  SP_DEVINFO_DATA info = Info(0);
  info.cbSize = 3;
  EXPECT_EQ(table_.GetDeviceInterfaceDetail(set_, &data, detail, needed,
                                            nullptr, &info),
            ERROR_INVALID_USER_BUFFER);
  info = Info(0);
  ASSERT_EQ(table_.GetDeviceInterfaceDetail(set_, &data, detail, needed,
                                            nullptr, &info),
            0u);
  EXPECT_STREQ(detail->DevicePath, "/dev/second");
  EXPECT_TRUE(SameGuid(info.ClassGuid, kUsbSetupClass));
  EXPECT_EQ(info.DevInst, 42u);
  EXPECT_EQ(info.Reserved, 2u);

  data.Reserved = 3;
  EXPECT_EQ(table_.GetDeviceInterfaceDetail(set_, &data, detail, needed,
                                            nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST(DeviceSetSeveralInterfacesTest, InterfaceAndDeviceIndicesDiffer) {
  // A device with three interfaces, then one with one.
  DeviceSetTable table;
  const HDEVINFO set = Handle(0x104);
  const GUID hid = kHidInterfaceClassGuid;
  table.Add(set, hid,
            {{"/dev/a0", "", kHidSetupClassGuid, 1, {"/dev/a1", "/dev/a2"}},
             {"/dev/b0", "", kHidSetupClassGuid, 2, {}}});
  const struct {
    const char* path;
    DWORD devInst;
    ULONG_PTR device;  // Reserved of the device record: index + 1
  } interfaces[] = {{"/dev/a0", 1, 1},
                    {"/dev/a1", 1, 1},
                    {"/dev/a2", 1, 1},
                    {"/dev/b0", 2, 2}};
  std::uint64_t storage[8] = {};
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage);
  for (DWORD index = 0; index < 4; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_EQ(table.EnumDeviceInterfaces(set, nullptr, &hid, index, &data), 0u);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    ASSERT_EQ(table.GetDeviceInterfaceDetail(set, &data, detail, sizeof storage,
                                             nullptr, &info),
              0u);
    EXPECT_STREQ(detail->DevicePath, interfaces[index].path);
    EXPECT_EQ(info.DevInst, interfaces[index].devInst) << index;
    EXPECT_EQ(info.Reserved, interfaces[index].device) << index;
  }
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_EQ(table.EnumDeviceInterfaces(set, nullptr, &hid, 4, &data),
            ERROR_NO_MORE_ITEMS);
  // The device records stop at two; the first device's own interfaces are
  // its three.
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  EXPECT_EQ(table.EnumDeviceInfo(set, 2, &info), ERROR_NO_MORE_ITEMS);
  ASSERT_EQ(table.EnumDeviceInfo(set, 0, &info), 0u);
  EXPECT_EQ(table.EnumDeviceInterfaces(set, &info, &hid, 2, &data), 0u);
  EXPECT_EQ(data.Reserved, 3u);
  EXPECT_EQ(table.EnumDeviceInterfaces(set, &info, &hid, 3, &data),
            ERROR_NO_MORE_ITEMS);
}

}  // namespace
}  // namespace os

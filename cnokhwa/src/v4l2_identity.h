// Where a V4L2 node sits in sysfs, and the identity that recognises a camera again after it was
// unplugged: the kernel gives a camera that comes back a new /dev/videoN whenever the old node is
// still held open, so the node number identifies nothing.
#pragma once

#include <linux/videodev2.h>

#include <string>
#include <vector>

namespace cnokhwa {

// What sysfs tells about one video4linux node.
struct NodeLocation {
  std::string name;  // "video3"
  bool usb = false;  // the node belongs to a USB interface
  // USB only: the ids as four lower-case hex digits, and the identity: vendor, product and
  // serial number, or the port the camera is plugged into when it has no serial number; then
  // the interface and the node's index within the driver (UVC: 0 capture, 1 metadata).
  std::string vendorId;
  std::string productId;
  std::string identity;
};

// "videoN" entries of /sys/class/video4linux, in numeric order. Listed with opendir/readdir
// (which test environments that emulate sysfs redirect, unlike glob).
std::vector<std::string> ListVideoNodes();

NodeLocation LocateNode(const std::string& name);

// The identity of a node: the USB identity when the node is on USB, else the driver's bus location
// and card name with the node's index (such devices are seldom unplugged, and their bus location
// stays put).
std::string NodeIdentity(const NodeLocation& location, const v4l2_capability& caps);

// The name of an attached node with this identity, or "" when none is attached. Only nodes that
// may match are opened (USB identities are compared from sysfs alone), so cameras that are not
// sought are not woken from power saving.
std::string FindNodeByIdentity(const std::string& identity);

// How a device's capture node is found at each start and after a re-plug: by its identity, or,
// when sysfs cannot tell it from another node (the identity is empty), by its node name.
struct NodeLocator {
  std::string identity;
  std::string node;
  // The node's name, or "" when it is not attached.
  std::string Find() const;
};

// The /dev/v4l/by-id link that points at the node, which udev names from the USB maker, product
// and serial number; "" when there is none.
std::string ByIdName(const std::string& nodeName);

}  // namespace cnokhwa

// Finding the machine's serial ports, and probing them for readers.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace ryx_test {

/** A serial port: the name to open, and the device it stands for when that name is a link (else empty). */
struct SerialPort {
    std::string name;
    std::string device;
};

/**
 * The serial ports of the machine: the /dev/serial/by-id names with the devices they point to, then the
 * /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* devices that exist, each group in natural order (ttyS2 before ttyS10).
 * On Windows the COM ports the system knows.
 */
std::vector<SerialPort> ListSerialPorts();

/** Prints the ports of ListSerialPorts, one a line ("NAME -> DEVICE" for a link). */
void PrintSerialPorts(std::FILE* out);

/**
 * Opens each port in parallel (every listed device when `ports` is empty), prints per port its model, slot count,
 * line speed and firmware text or the error, in the order given, and closes every reader. While the opens run,
 * progress is shown on standard error when that is a terminal.
 * @return 0 when every named port (or, without names, at least one port) has a reader; otherwise 2; 128 + the
 *         signal's number after a stop was asked for.
 */
int ProbePorts(const std::vector<std::string>& ports, std::FILE* out);

}  // namespace ryx_test

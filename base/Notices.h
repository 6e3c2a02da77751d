// Operator notices: the message line, the range checks of the master request
// fields, and the message boxes every window shows.
//
// The program installs the sinks at start-up (status panel, modal Qt message
// boxes); until then notices go to stderr. Tests install recorders.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// ---- sinks ------------------------------------------------------------------
using StatusSink = std::function<void(const std::string &text)>;
using MessageBoxSink = std::function<void(const std::string &text, const std::string &caption)>;
void set_status_sink(StatusSink sink);          // empty: stderr
void set_message_box_sink(MessageBoxSink sink);  // empty: stderr

// A modal message box with one OK button; returns when the operator closed it.
void show_message_box(const std::string &text, const std::string &caption = "Quillan");

// ---- the message line ------------------------------------------------------
void show_status_message(const std::string &text);

// ---- range checks of the request fields (0 ok, -1 refused with a box) ------
// The ranges alone, without a box.
bool device_address_ok(uint16_t address);
bool register_address_ok(uint16_t address);
bool comm_count_ok(uint16_t count, uint16_t limit);
int check_device_address(uint16_t address);
int check_register_address(uint16_t address);
int check_comm_count(uint16_t count, uint16_t limit);

// ---- station windows tell the main frame when they close -------------------
enum StationKind { MasterRtu = 0, MasterAscii, MasterTcp, SlaveRtu, SlaveAscii, SlaveTcp };
using StationClosedSink = std::function<void(int kind)>;
void set_station_closed_sink(StationClosedSink sink);
void station_closed(int kind);


// libsystemd on demand, for the injected library only.
//
// Every program of the device carries the tweak library, and libsystemd
// brings six more libraries (libgcrypt, the compressors, libcap...) whose
// loading and relocation every one of them would pay at start. Most never
// reach the bus: their settings observers go in after a short delay (see
// SNTMessagingCenter.h) and a program that has ended by then never needs
// it. So the library does not link libsystemd; it defines the sd-bus
// functions that bus_connection_linux.cc calls (hidden, so the program's
// own sd-bus, if any, is untouched) and loads libsystemd on the first call.
//
// When libsystemd cannot be loaded, every call fails with -ENOSYS (or
// returns null), which the bus connection reports as an unreachable bus.
#include <dlfcn.h>
#include <errno.h>
#include <systemd/sd-bus.h>

#include <atomic>

#include "platform/base/publish_once.h"

namespace sentrel::notify::internal {

struct SdBusApi {
  decltype(&::sd_bus_add_filter) add_filter = nullptr;
  decltype(&::sd_bus_add_match) add_match = nullptr;
  decltype(&::sd_bus_flush) flush = nullptr;
  decltype(&::sd_bus_flush_close_unref) flush_close_unref = nullptr;
  decltype(&::sd_bus_get_events) get_events = nullptr;
  decltype(&::sd_bus_get_fd) get_fd = nullptr;
  decltype(&::sd_bus_get_timeout) get_timeout = nullptr;
  decltype(&::sd_bus_is_open) is_open = nullptr;
  decltype(&::sd_bus_message_append_array) message_append_array = nullptr;
  decltype(&::sd_bus_message_append_basic) message_append_basic = nullptr;
  decltype(&::sd_bus_message_get_signature) message_get_signature = nullptr;
  decltype(&::sd_bus_message_has_signature) message_has_signature = nullptr;
  decltype(&::sd_bus_message_is_signal) message_is_signal = nullptr;
  decltype(&::sd_bus_message_new_signal) message_new_signal = nullptr;
  decltype(&::sd_bus_message_read_array) message_read_array = nullptr;
  decltype(&::sd_bus_message_read_basic) message_read_basic = nullptr;
  decltype(&::sd_bus_message_unref) message_unref = nullptr;
  decltype(&::sd_bus_new) new_bus = nullptr;
  decltype(&::sd_bus_process) process = nullptr;
  decltype(&::sd_bus_send) send = nullptr;
  decltype(&::sd_bus_set_address) set_address = nullptr;
  decltype(&::sd_bus_set_bus_client) set_bus_client = nullptr;
  decltype(&::sd_bus_set_description) set_description = nullptr;
  decltype(&::sd_bus_slot_unref) slot_unref = nullptr;
  decltype(&::sd_bus_start) start = nullptr;
  decltype(&::sd_bus_unref) unref = nullptr;
};

namespace {

constexpr const char* kSystemdLibrary = "libsystemd.so.0";

template <class Fn>
bool loadSymbol(void* library, Fn& fn, const char* name) {
  fn = reinterpret_cast<Fn>(dlsym(library, name));
  return fn != nullptr;
}

}  // namespace

const SdBusApi* sdBusApi() {
  static std::atomic<const SdBusApi*> loaded{nullptr};
  return base::publishOnce(loaded, []() -> const SdBusApi* {
    void* library = dlopen(kSystemdLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    auto* api = new SdBusApi;
    bool complete = true;
    auto load = [&](auto& fn, const char* name) {
      complete = loadSymbol(library, fn, name) && complete;
    };
    load(api->add_filter, "sd_bus_add_filter");
    load(api->add_match, "sd_bus_add_match");
    load(api->flush, "sd_bus_flush");
    load(api->flush_close_unref, "sd_bus_flush_close_unref");
    load(api->get_events, "sd_bus_get_events");
    load(api->get_fd, "sd_bus_get_fd");
    load(api->get_timeout, "sd_bus_get_timeout");
    load(api->is_open, "sd_bus_is_open");
    load(api->message_append_array, "sd_bus_message_append_array");
    load(api->message_append_basic, "sd_bus_message_append_basic");
    load(api->message_get_signature, "sd_bus_message_get_signature");
    load(api->message_has_signature, "sd_bus_message_has_signature");
    load(api->message_is_signal, "sd_bus_message_is_signal");
    load(api->message_new_signal, "sd_bus_message_new_signal");
    load(api->message_read_array, "sd_bus_message_read_array");
    load(api->message_read_basic, "sd_bus_message_read_basic");
    load(api->message_unref, "sd_bus_message_unref");
    load(api->new_bus, "sd_bus_new");
    load(api->process, "sd_bus_process");
    load(api->send, "sd_bus_send");
    load(api->set_address, "sd_bus_set_address");
    load(api->set_bus_client, "sd_bus_set_bus_client");
    load(api->set_description, "sd_bus_set_description");
    load(api->slot_unref, "sd_bus_slot_unref");
    load(api->start, "sd_bus_start");
    load(api->unref, "sd_bus_unref");
    if (complete) return api;
    delete api;
    return nullptr;
  });
}

}  // namespace sentrel::notify::internal

extern "C" {

int sd_bus_add_filter(sd_bus* bus, sd_bus_slot** slot, sd_bus_message_handler_t callback,
                      void* userdata) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->add_filter(bus, slot, callback, userdata) : -ENOSYS;
}

int sd_bus_add_match(sd_bus* bus, sd_bus_slot** slot, const char* match,
                     sd_bus_message_handler_t callback, void* userdata) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->add_match(bus, slot, match, callback, userdata) : -ENOSYS;
}

int sd_bus_flush(sd_bus* bus) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->flush(bus) : -ENOSYS;
}

sd_bus* sd_bus_flush_close_unref(sd_bus* bus) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->flush_close_unref(bus) : nullptr;
}

int sd_bus_get_events(sd_bus* bus) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->get_events(bus) : -ENOSYS;
}

int sd_bus_get_fd(sd_bus* bus) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->get_fd(bus) : -ENOSYS;
}

int sd_bus_get_timeout(sd_bus* bus, uint64_t* timeout_usec) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->get_timeout(bus, timeout_usec) : -ENOSYS;
}

int sd_bus_is_open(sd_bus* bus) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->is_open(bus) : -ENOSYS;
}

int sd_bus_message_append_array(sd_bus_message* m, char type, const void* ptr, size_t size) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->message_append_array(m, type, ptr, size) : -ENOSYS;
}

int sd_bus_message_append_basic(sd_bus_message* m, char type, const void* p) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->message_append_basic(m, type, p) : -ENOSYS;
}

const char* sd_bus_message_get_signature(sd_bus_message* m, int complete) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->message_get_signature(m, complete) : nullptr;
}

int sd_bus_message_has_signature(sd_bus_message* m, const char* signature) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->message_has_signature(m, signature) : -ENOSYS;
}

int sd_bus_message_is_signal(sd_bus_message* m, const char* interface, const char* member) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->message_is_signal(m, interface, member) : -ENOSYS;
}

int sd_bus_message_new_signal(sd_bus* bus, sd_bus_message** m, const char* path,
                              const char* interface, const char* member) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->message_new_signal(bus, m, path, interface, member) : -ENOSYS;
}

int sd_bus_message_read_array(sd_bus_message* m, char type, const void** ptr, size_t* size) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->message_read_array(m, type, ptr, size) : -ENOSYS;
}

int sd_bus_message_read_basic(sd_bus_message* m, char type, void* p) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->message_read_basic(m, type, p) : -ENOSYS;
}

sd_bus_message* sd_bus_message_unref(sd_bus_message* m) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->message_unref(m) : nullptr;
}

int sd_bus_new(sd_bus** ret) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->new_bus(ret) : -ENOSYS;
}

int sd_bus_process(sd_bus* bus, sd_bus_message** r) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->process(bus, r) : -ENOSYS;
}

int sd_bus_send(sd_bus* bus, sd_bus_message* m, uint64_t* cookie) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->send(bus, m, cookie) : -ENOSYS;
}

int sd_bus_set_address(sd_bus* bus, const char* address) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->set_address(bus, address) : -ENOSYS;
}

int sd_bus_set_bus_client(sd_bus* bus, int b) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->set_bus_client(bus, b) : -ENOSYS;
}

int sd_bus_set_description(sd_bus* bus, const char* description) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->set_description(bus, description) : -ENOSYS;
}

sd_bus_slot* sd_bus_slot_unref(sd_bus_slot* slot) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->slot_unref(slot) : nullptr;
}

int sd_bus_start(sd_bus* bus) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->start(bus) : -ENOSYS;
}

sd_bus* sd_bus_unref(sd_bus* bus) {
  const sentrel::notify::internal::SdBusApi* api = sentrel::notify::internal::sdBusApi();
  return api != nullptr ? api->unref(bus) : nullptr;
}

}  // extern "C"

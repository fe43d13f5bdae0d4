// The filter's side of the milter protocol over one MTA connection, free of sockets: bytes from
// the MTA go in, whole packets are taken out of them and acted on, and the replies come out as
// bytes for one write. A packet is a 32-bit big-endian length that counts the command byte, the
// command byte, and its data.
#ifndef HDX_MILTER_PROTOCOL_H
#define HDX_MILTER_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "connection.h"
#include "log.h"
#include "policy.h"

namespace hdx_milter {

// What every connection of the filter shares, read only once connections come but for the
// policy, which a reload swaps (std::atomic_load and std::atomic_store) while they run.
struct Filter {
  std::string header{hdx_common::kFieldName};  // the added field's name
  const Log* log = nullptr;                     // one JSON line per message, where set
  // What is refused (550 5.7.1, the checks named), held in the MTA's quarantine, or only marked.
  std::shared_ptr<const hdx_common::Policy> policy = std::make_shared<hdx_common::Policy>();
};

// The largest packet taken: header fields up to the cap the filter reads, where the MTA can send
// them (an MTA that offers it is asked for packets of up to 1 MiB). A longer one ends the
// connection, which bounds what one connection holds.
constexpr std::uint32_t kMaxPacket = 1 << 20;

class Session {
 public:
  explicit Session(const Filter& filter) : filter_(&filter) {}

  // Takes the bytes that came from the MTA: every complete packet among what is held and these
  // is acted on, its replies appended to `replies`, and an incomplete one is kept for the next
  // bytes. False once the connection is to be closed: the MTA said QUIT, or broke the protocol
  // (a length of 0 or over kMaxPacket, a first packet that is no negotiation, a negotiation too
  // short or of a version before 2); the replies made before that still go out.
  bool receive(std::string_view bytes, std::string& replies);
  // Between MAIL and the end of the message (or its abort): closing now would leave the message
  // without its field.
  bool in_message() const { return in_message_; }
  // Bytes of an incomplete packet held until the rest comes.
  std::size_t held() const { return held_.size(); }
  // Once receive() returned false: how the MTA broke the protocol, or empty when it said QUIT.
  std::string_view fault() const { return fault_; }

 private:
  // False where the packet ends the connection.
  bool take(char command, std::string_view data, std::string& replies);
  void negotiate(std::string_view data, std::string& replies);
  void end_of_message(std::string& replies);
  // Deletes the fields forged under the filter's name, and adds its own.
  void mark(const hdx_common::Checks& fired, std::string_view action, std::string_view spared,
            std::string& replies);
  void macros(std::string_view data);

  const Filter* filter_;
  Connection connection_;
  std::string held_;
  std::string queue_id_;
  std::string_view fault_;
  bool negotiated_ = false;
  bool in_message_ = false;
  bool authenticated_ = false;  // the MTA named a login for the MAIL step ({auth_authen})
  std::uint32_t actions_ = 0;     // what the MTA lets the filter change
  std::uint32_t unanswered_ = 0;  // the steps the MTA expects no reply to
};

}  // namespace hdx_milter

#endif  // HDX_MILTER_PROTOCOL_H

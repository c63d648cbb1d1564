#pragma once

// The driver's counts, each written once, here. Every list of them is made from these two: the
// members of frameprobe::Counters and ForEachCounter, the driver's own structs, framegrab's JSON
// keys, metrics and summary lines, the Python attributes and their type stubs. A count is added
// by a line here, and by counting it where it happens.
//
// Each count is X(field, name, unit, place, label, help), its lines ending in a backslash, the
// last count's too (a comment ends the list), so that a count is added without touching
// another:
//   field  the member of the driver's own structs (fp::NudpCounts, fp::CameraCounts)
//   name   the member of frameprobe::Counters, and the count's name everywhere else: JSON key,
//          metric framegrab_driver_<name>_total, Python attribute; it ends with its unit
//   unit   what is counted
//   place  where a line of words about the list shows it: kLead heads the line ("N label: "),
//          kItem follows in the list's order, kPart goes in parentheses after the item before
//          it, kTail after every item, kApart not at all (a line of its own tells it)
//   label  its words in that line, after the number
//   help   what it counts
//
// The order is frameprobe::Counters' layout, which programs built against libframeprobe.so.1
// rely on: the socket's list first, then the driver's. A count added anywhere changes that
// layout, so it comes with a new major version of the library (the library's tests hold the
// released layout).

// What the camera socket's receive path has seen, each counted where it is detected.
// clang-format off
#define FRAMEPROBE_SOCKET_COUNTERS(X)                                                              \
  X(received, received_packets, packets, kLead, "datagrams",                                       \
    "datagrams received, whatever became of them")                                                 \
  X(foreign, foreign_packets, packets, kTail, "from other senders",                                \
    "from another address or port than the camera's, or not IPv4")                                 \
  X(damaged, damaged_packets, packets, kTail, "damaged",                                           \
    "a wrong length, no signature, a wrong checksum, outside the image or not filling its place "  \
    "(RAW data packets of these are among raw_packets too)")                                       \
  X(raw, raw_packets, packets, kItem, "RAW packets",                                               \
    "RAW data packets from the camera with a signature")                                           \
  X(stored, stored_packets, packets, kPart, "stored",                                              \
    "RAW data packets stored in the image")                                                        \
  X(duplicates, duplicate_packets, packets, kPart, "duplicates",                                   \
    "RAW data packets stored already, the same data again")                                        \
  X(conflicts, conflicting_packets, packets, kPart, "with other data",                             \
    "RAW data packets stored already, with other data: missing again")                             \
  X(refused, refused_packets, packets, kPart, "refused",                                           \
    "RAW data packets while none were expected")                                                   \
  X(matched_answers, matched_answers, answers, kItem, "answers matched",                           \
    "answers that completed the exchange of the command sent last")                                \
  X(stray_answers, stray_answers, answers, kItem, "stray answers",                                 \
    "answers while no command waited, or to another command")                                      \
  X(restarts, restarts, restarts, kItem, "restarts",                                               \
    "the image began again: an answer to a repeated start while it was taken or kept, or a "       \
    "late copy showing a stream without one")                                                      \
  /* the list ends here */
// clang-format on

// What the driver has done on its camera socket, each counted where it happens (the watchdog's
// refreshes go on a socket of their own).
// clang-format off
#define FRAMEPROBE_DRIVER_COUNTERS(X)                                                              \
  X(commands, sent_commands, commands, kItem, "sent",                                              \
    "command packets sent, repetitions included")                                                  \
  X(repeats, repeated_commands, commands, kPart, "repeats",                                        \
    "of those, repetitions of a command after its first sending")                                  \
  X(timeouts, timed_out_commands, commands, kPart, "timed out",                                    \
    "attempts that no answer ended in time")                                                       \
  X(status_requests, status_requests, requests, kItem, "status requests",                          \
    "transfer status requests (0x0A) sent, repetitions included")                                  \
  X(retransmission_requests, retransmission_requests, requests, kItem, "retransmission requests",  \
    "retransmission requests (TOP 6) sent, repetitions included")                                  \
  X(answered_retransmissions, answered_retransmissions, retransmissions, kPart, "answered",        \
    "retransmission requests that the camera answered")                                            \
  X(fetched_again, fetched_again_packets, packets, kApart, "fetched again",                        \
    "RAW packets that recovery brought into the image")                                            \
  X(drains, drains, drains, kItem, "drains",                                                       \
    "waits for a streaming camera to fall silent before a repeated start")                         \
  X(lost_contacts, lost_contacts, contacts, kItem, "lost contacts",                                \
    "commands given up after every attempt: the connection closed")                                \
  /* the list ends here */
// clang-format on

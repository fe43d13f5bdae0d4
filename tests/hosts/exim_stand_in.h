// Exim's variables that the module reads, for a program that loads the module in Exim's place:
// the test beside the filter and the benchmark. Each sets them to the message at hand and
// defines Exim's store_get_3; included by one file of each program, since it defines them.
#ifndef HDX_TESTS_EXIM_STAND_IN_H
#define HDX_TESTS_EXIM_STAND_IN_H

extern "C" {
#include <local_scan.h>

header_line* header_list = nullptr;
uschar* sender_address = nullptr;
uschar* sender_host_address = nullptr;
int recipients_count = 0;
recipient_item* recipients_list = nullptr;
}

#endif  // HDX_TESTS_EXIM_STAND_IN_H

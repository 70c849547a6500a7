// Every text the procedure sends to the client.
#ifndef MAILQUARRY_PROCEDURE_MESSAGES_H
#define MAILQUARRY_PROCEDURE_MESSAGES_H

namespace messages {

constexpr const char* kUsage =
    "Usage:\n"
    "exec master..mailquarry 'server', 'user', 'password', 'command', message_id\n"
    "\tcommand:\n"
    "\t\tREAD\t\tread message\n"
    "\t\tREAD_TOP\tread message header only\n"
    "\t\tREAD_DEL\tread message and delete it from email box\n"
    "\t\tREAD_TOP_DEL\tread message header only and delete the message from email box\n"
    "\t\tLIST\t\tshow scan listing\n"
    "\t\tDEL\t\tdelete message from email box\n"
    "\tmess_id:\n"
    "\t\t0 - all messages\n"
    "\t\t>0 - message-number\n";

constexpr const char* kWrongType = "Parameter data type is wrong.";
constexpr const char* kTooLong = "Parameter too long.";
constexpr const char* kEmpty[] = {"Parameter 1 can not be empty.", "Parameter 2 can not be empty.",
                                  "Parameter 3 can not be empty."};
constexpr const char* kUserLineBreak = "Parameter 2 can not contain line breaks.";
constexpr const char* kPasswordLineBreak = "Parameter 3 can not contain line breaks.";
constexpr const char* kWrongCommand =
    "Parameter 4 is wrong.\n"
    "Use anyone from the list: READ,READ_TOP,READ_DEL,READ_TOP_DEL,LIST,DEL";
constexpr const char* kNegative = "Parameter 5 can not be negative.";
constexpr const char* kNull = "Parameter 5 can not be NULL.";
constexpr const char* kNoConnection = "Can not establish connection to POP3 server.";
constexpr const char* kUnknown = "Unknown error.";

}  // namespace messages

#endif

#include "classify_result.h"

const zelmd_field zelmd_fields[ZELMD_FIELDS] = {
    {"X-ZELM-PVer", "X-ZELM-Pver: ", &ClassifyResult::pver, true, false, nullptr},
    {"X-ZELM-Spam", "X-ZELM-Spam: ", &ClassifyResult::spam, true, false, nullptr},
    {"X-ZELM-VOD", "X-ZELM-VOD: ", &ClassifyResult::vod, true, false, nullptr},
    {"X-ZELM-Flags", nullptr, &ClassifyResult::flags, true, false, nullptr},
    {"X-ZELM-RefID", "X-ZELM-RefID: ", &ClassifyResult::refid, true, false, nullptr},
    {"X-ZELM-SenderID", "X-ZELM-SenderID: ", &ClassifyResult::senderid, false, true, nullptr},
    {"X-ZELM-SenderID-Flags", "X-ZELM-SenderID-Flags: ", &ClassifyResult::senderid_flags, false,
     true, nullptr},
    {"X-ZELM-SenderID-TotalMessages", "X-ZELM-SenderID-TotalMessages: ",
     &ClassifyResult::senderid_totalmessages, false, true, nullptr},
    {"X-ZELM-SenderID-TotalSpam", "X-ZELM-SenderID-TotalSpam: ",
     &ClassifyResult::senderid_totalspam, false, true, nullptr},
    {"X-ZELM-SenderID-TotalSuspected", "X-ZELM-SenderID-TotalSuspected: ",
     &ClassifyResult::senderid_totalsuspected, false, true, nullptr},
    {"X-ZELM-SenderID-TotalVirus", "X-ZELM-SenderID-TotalVirus: ",
     &ClassifyResult::senderid_totalvirus, false, true, nullptr},
    {"X-ZELM-SenderID-BlueWhiteFlag", "X-ZELM-BlueWhiteFlag: ", &ClassifyResult::bluewhiteflag,
     false, true, "-1"},
};

// The blue/white flag goes third of the sender lines.
const uint8_t zelmd_stamp_order[ZELMD_STAMPS] = {0, 1, 2, 4, 5, 6, 11, 7, 8, 9, 10};

#ifndef SAMBA_HELPER_KEYTAB_H
#define SAMBA_HELPER_KEYTAB_H

#include <cstdint>
#include <string>

#include "member_config.h"
#include "wire.h"

namespace sambahelper {

// Writes this host's keys into /etc/krb5.keytab from the machine password the join just
// stored: the account's own principal and each of its service principal names, in every
// encryption type the account supports, at the account's key version (both read from the
// DC as the machine). Entries of other principals are kept; the file is replaced atomically.
uint32_t WriteMachineKeytab(sambaprovider::MemberConfig const& config, std::string const& dc,
                            sambaprovider::Fields& answer);

}  // namespace sambahelper

#endif

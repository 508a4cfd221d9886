#ifndef SAMBA_PROVIDER_HOST_CHANGES_H
#define SAMBA_PROVIDER_HOST_CHANGES_H

// What the last join, leave or change of settings on the calling thread changed on the host:
// files written or removed, services started or stopped. Each operation that can change the
// host starts a fresh record; the library reads it after the operation, also after a failure.
#include <string>
#include <vector>

namespace sambaprovider {

void StartChangeRecord();
// One line, e.g. "wrote /etc/samba/smb.conf" or "started winbind".
void NoteChange(std::string const& change);
std::vector<std::string> RecordedChanges();

}  // namespace sambaprovider

#endif

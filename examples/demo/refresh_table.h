// The kit's refresh (PbRefreshParameters) and the sample expert's refresh,
// grace period and revocation, played against a scripted stand-in module
// with a terminal model whose clock the rows move. Returns the number of
// failed rows; `round` numbers the printed lines.
#pragma once

int RefreshTable(int& round);

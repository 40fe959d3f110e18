// A user's key container as the library reaches it: CCTFUser (open a
// container, cache its keys, find the key of a certificate, prove that a
// certificate and its key belong together, make, bind, copy and move keys)
// and the container descriptions CCTFContainer, CCTFContEntry,
// CCTFUserContainerInfo and CCTFUserKeyInfo, with CTFGetContainerList and
// CTFCopyKeys.
#pragma once

#include "cert/certstore.h"
#include "cert/export.h"

// ---- Containers --------------------------------------------------------

// ---- The user ----------------------------------------------------------

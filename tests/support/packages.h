// Real package files for tests, built and signed with the development key set (a copy in
// the build tree, so that sandboxed tests see it too).
#pragma once

#include <string>
#include <vector>

#include "tools/pellpkg/builder.h"
#include "tools/signing/signing.h"

namespace vl::testing {

using pkgbuild::ArchiveFile;
using pkgbuild::BundleSource;
using pkgbuild::PackageSource;
using pkgbuild::SignatureForm;

const SecretKeySet& devKeys();

// A package for the boards' processor; version 6.49 needs both signature schemes.
PackageSource testPackage(const std::string& name, const char* version = "6.49",
                          std::vector<ArchiveFile> files = {});

// The package file signed with the development keys; a failure fails the running test
// and gives no bytes.
pkgbuild::Bytes buildFile(const PackageSource& source, SignatureForm form = SignatureForm::Both,
                          std::uint32_t magic = kMagicTracked);
pkgbuild::Bytes buildBundleFile(const BundleSource& bundle,
                                SignatureForm form = SignatureForm::Both);

}  // namespace vl::testing

// The doctor's SELinux names against the policy files the panel ships
// (android/sepolicy): a label renamed on one side only fails here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/process_harness.h"
#include "tools/doctor/selinux.h"

namespace vantrel::test {
namespace {

TEST(DoctorPolicy, LabelsAreThePolicys) {
    std::vector<std::pair<const char*, std::string>> policy = {
        {"vantrel.te", "type " + std::string(doctor::kDaemonDomain) + ", domain;"},
        {"file_contexts", "/dev/ttymxc1                              u:object_r:" +
                              std::string(doctor::kTtyType) + ":s0"},
        {"genfs_contexts", "u:object_r:" + std::string(doctor::kResetLineType) + ":s0"},
    };
    for (const char* type : doctor::kPolicyTypes) policy.emplace_back("vantrel.te", type);
    for (const auto& [file, line] : policy) {
        EXPECT_NE(
            readWhole(std::string(VANTREL_SOURCE_DIR) + "/android/sepolicy/" + file).find(line),
            std::string::npos)
            << file << " lacks: " << line;
    }
}

}  // namespace
}  // namespace vantrel::test

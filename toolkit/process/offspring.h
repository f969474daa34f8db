#pragma once

#include <string>
#include <vector>

// The processes a child started, and theirs in turn, wherever they went: under the child while
// it runs, and among this process's adopted orphans once their parent has gone (os::adopt_orphans).
// An orphan that left the child's process group and session is told apart from others by an
// environment entry only that child's offspring inherit.
namespace norva_core::process::offspring {

// A NAME=VALUE entry unique to one child.
std::string new_tag();

// The running processes that descend from `root`.
std::vector<int> under(int root);

// The running orphans this process adopted that carry one of `tags` or are among `known`, and
// what descends from them; one look at each process, however many tags.
std::vector<int> adopted(std::vector<std::string> tags, const std::vector<int>& known);

// Ends the processes and reaps those that become this process's children.
void end(const std::vector<int>& pids) noexcept;

// Makes this process adopt orphans, and end at its exit whatever it adopted that nobody ended.
void adopt_until_exit();

}  // namespace norva_core::process::offspring

// Keeps the support library non-empty while it has no helpers of its own.
namespace korvane_test_support_anchor {
int kAnchor = 0;
}  // namespace korvane_test_support_anchor

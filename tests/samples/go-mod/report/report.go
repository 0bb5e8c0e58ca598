// Package report formats stock reports.
package report

import (
	"fmt"
	"strings"

	"example.com/inventory/store"
)

// Lister is what a report reads from.
type Lister interface {
	Below() []store.Item
}

// LowStock describes the items that need reordering, one per line.
func LowStock(l Lister) string {
	var b strings.Builder
	for _, item := range l.Below() {
		fmt.Fprintf(&b, "%s (%s): %d left\n", item.Name, item.SKU, item.Quantity)
	}
	return b.String()
}

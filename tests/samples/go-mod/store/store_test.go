package store

import "testing"

func TestBelow(t *testing.T) {
	s := New()
	s.Add(Item{SKU: "x", Quantity: 1})
	if got := len(s.Below()); got != 1 {
		t.Fatalf("Below() = %d items, want 1", got)
	}
}

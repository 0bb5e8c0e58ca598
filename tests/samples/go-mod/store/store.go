// Package store keeps stock levels in memory.
package store

import "sync"

// DefaultReorder is the reorder level of items that name none.
const DefaultReorder = 5

// Item is one stock-keeping unit.
type Item struct {
	SKU      string
	Name     string
	Quantity int
	Reorder  int
}

// Store holds items by SKU; safe for concurrent use.
type Store struct {
	sync.Mutex
	items map[string]Item
}

// New returns an empty store.
func New() *Store {
	return &Store{items: make(map[string]Item)}
}

// Add records an item, replacing one with the same SKU.
func (s *Store) Add(item Item) {
	s.Lock()
	defer s.Unlock()
	if item.Reorder == 0 {
		item.Reorder = DefaultReorder
	}
	s.items[item.SKU] = item
}

// Below lists the items whose quantity is under their reorder level.
func (s *Store) Below() []Item {
	s.Lock()
	defer s.Unlock()
	var out []Item
	for _, item := range s.items {
		if needsReorder(item) {
			out = append(out, item)
		}
	}
	return out
}

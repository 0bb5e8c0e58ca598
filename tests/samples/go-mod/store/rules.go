package store

func needsReorder(item Item) bool {
	return item.Quantity < item.Reorder
}

// Example basic shows the smallest use of the store.
package main

import "example.com/inventory/store"

func main() {
	s := store.New()
	s.Add(store.Item{SKU: "demo"})
}

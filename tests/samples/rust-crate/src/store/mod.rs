//! In-memory stock by SKU.

pub mod item;

use std::collections::HashMap;

use item::Item;

/// Items by SKU.
#[derive(Debug, Default)]
pub struct Store {
    items: HashMap<String, Item>,
}

impl Store {
    /// An empty store.
    pub fn new() -> Self {
        Self::default()
    }

    /// Records an item, replacing one with the same SKU.
    pub fn add(&mut self, sku: &str, quantity: u32) {
        self.items.insert(sku.to_string(), Item::new(sku, quantity));
    }

    /// The items whose quantity is under their reorder level.
    pub fn below(&self) -> Vec<&Item> {
        self.items.values().filter(|item| item.needs_reorder()).collect()
    }
}

package com.acme.shop;

import com.acme.shop.model.Order;
import com.acme.shop.service.OrderService;
import com.acme.shop.service.Repository;
import java.util.HashMap;
import java.util.Map;
import java.util.Optional;

/** Wires the shop together with an in-memory store. */
public final class App {
    static final class MemoryRepository implements Repository<Order> {
        private final Map<String, Order> byId = new HashMap<>();

        public Optional<Order> find(String id) {
            return Optional.ofNullable(byId.get(id));
        }

        public void save(Order order) {
            byId.put(order.id(), order);
        }
    }

    public static void main(String[] args) {
        OrderService service = new OrderService(new MemoryRepository());
        System.out.println(service.isLarge("o-1", java.math.BigDecimal.TEN));
    }
}
